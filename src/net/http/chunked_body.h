#pragma once

#include <QtGlobal>

// Follows a chunked body (chunks, the last chunk, trailer fields, the final empty line) through
// any split of its bytes without decoding them: the proxy forwards the bytes as they came and
// only needs to know where the body ends and whether its framing can be trusted.
//
// The syntax is held strictly: a recipient that reads a sloppy body another way than we do
// would find another end of it, and the bytes after that would become a request of their own.
// So a byte the grammar does not allow (a bare CR or LF, a blank before the CR LF that no ";"
// follows, anything but CR LF after a chunk's data) makes the body invalid.
class ChunkedBody {
public:
    // A size line (size and extensions) or one trailer line longer than this is invalid, and so
    // is a trailer section longer than kMaxTrailerBytes: a peer must not stream an endless line.
    static constexpr qsizetype kMaxLineBytes = 16 * 1024;
    static constexpr qsizetype kMaxTrailerBytes = 256 * 1024;

    void restart();
    // Takes the bytes that belong to the body, never one beyond its end. At an invalid byte,
    // takes the bytes before it and nothing more, then or later.
    qsizetype take(const char *data, qsizetype size);
    bool isComplete() const { return m_step == Step::Done; }
    bool isInvalid() const { return m_step == Step::Invalid; }

private:
    enum class Step {
        SizeFirstDigit,
        SizeDigits,
        BeforeExtensionName, // after ";"
        ExtensionName,
        AfterExtensionName, // blanks after a name: "=" or ";" must follow
        BeforeExtensionValue,
        ExtensionToken,
        ExtensionQuoted,
        ExtensionQuotedPair,
        AfterQuotedValue,
        AfterExtensionItem, // blanks after a size or value: ";" must follow
        SizeLineFeed,
        Data,
        DataCarriageReturn,
        DataLineFeed,
        TrailerLineStart,
        TrailerName,
        TrailerValue,
        TrailerLineFeed,
        FinalLineFeed,
        Done,
        Invalid,
    };
    Step following(char c);
    // After a complete size, extension name or value.
    Step afterItem(char c);

    Step m_step = Step::SizeFirstDigit;
    quint64 m_chunkLeft = 0;
    qsizetype m_lineBytes = 0;
    qsizetype m_trailerBytes = 0;
};
