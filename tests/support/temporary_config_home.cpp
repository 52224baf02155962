// Linked into every test program and the test host (not into the support library, where
// nothing would pull it in): before main() runs, XDG_CONFIG_HOME names a new temporary folder
// of this process, removed when it ends. So no test reads or overwrites the user's remembered
// settings, nor what an earlier run or another program saved, also when run by hand.
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

namespace {

struct TemporaryConfigHome {
    TemporaryConfigHome()
    {
        if (!folder.isValid()) {
            std::fprintf(stderr, "no temporary folder for XDG_CONFIG_HOME\n");
            std::exit(2);
        }
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.path()));
    }

    QTemporaryDir folder;
};

const TemporaryConfigHome temporaryConfigHome;

} // namespace
