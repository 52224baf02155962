// Request collection fed arbitrary sequences of chunks: nothing the browser sent is lost,
// duplicated or reordered between what a completed request holds and what arrived.
#include "fuzz/fuzz_support.h"
#include "net/proxy_connection.h"
#include "net/request_reception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ProxyConnection record;
    QByteArray receivedForRequest;
    size_t position = 0;
    // Each chunk is announced by one byte giving its length (0 stands for 256).
    while (position < size) {
        const size_t announced = data[position] == 0 ? 256 : data[position];
        ++position;
        const size_t length = qMin(announced, size - position);
        const QByteArray chunk(reinterpret_cast<const char *>(data + position), qsizetype(length));
        position += length;
        if (chunk.isEmpty())
            continue;

        receivedForRequest.append(chunk);
        if (!collectChunk(record, chunk)) {
            FUZZ_CHECK(record.isReceivingBody);
            continue;
        }
        FUZZ_CHECK(!record.isReceivingBody);
        FUZZ_CHECK(record.lngContentLength >= 0);
        FUZZ_CHECK(record.strBody.size() >= record.lngContentLength);
        FUZZ_CHECK(!record.strHeader.contains("\r\n\r\n"));
        FUZZ_CHECK(record.strHeader + "\r\n\r\n" + record.strBody == receivedForRequest);
        FUZZ_CHECK(record.lngContentLength == contentLengthOf(record.strHeader));
        receivedForRequest.clear();
    }
    return 0;
}
