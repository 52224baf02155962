#pragma once

#include <QString>

#include "net/rules/request_rewriter.h"

// The settings the engine works with, as the window's controls stood when they last changed.
// A snapshot is never changed once made: the window makes a new one and hands it over.
struct ProxySettings {
    HeaderRules rules;
    bool isLogging = false; // chkLog: header lines are logged
    // chkInspect: the rules apply inside HTTPS too, for hosts noInspect does not name.
    bool isInspecting = false;
    // txtNoInspect: CONNECT hosts whose HTTPS is never inspected, as allow patterns; for apps
    // that pin their certificates and would refuse the proxy's.
    QList<QByteArray> noInspect;
    // txtMaxThr as a number; NaN when it is none, which refuses every browser that needs a new
    // slot.
    double connectionLimit = 255;
};

// The limit as typed: blanks around it are ignored, a fraction counts as it is, and anything that
// is not a number (an empty text, "nan") gives NaN.
double parseConnectionLimit(const QString &text);
