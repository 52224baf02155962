-- wrk sends origin-form request lines ("GET /path") to the address on its command line. A
-- browser talking to a proxy sends the absolute URI instead, and names the origin in its Host
-- header; this script makes wrk do the same.
--
-- Arguments after "--": TARGET HOST [close]
--   TARGET  the request target: "http://127.0.0.1:8000/1k.bin" through a proxy, "/1k.bin" direct
--   HOST    the origin's host:port for the Host header
--   close   adds "Connection: close", so every request takes a connection of its own
-- done() prints one line the benchmark script reads.

local request_text

function init(args)
    local headers = { ["Host"] = args[2] }
    if args[3] == "close" then
        headers["Connection"] = "close"
    end
    request_text = wrk.format("GET", args[1], headers)
end

function request()
    return request_text
end

function done(summary, latency, requests)
    local errors = summary.errors
    io.write(string.format(
        "RESULT requests=%d duration_us=%d bytes=%d p50_us=%d p99_us=%d " ..
        "connect_errors=%d read_errors=%d write_errors=%d status_errors=%d timeouts=%d\n",
        summary.requests, summary.duration, summary.bytes,
        latency:percentile(50), latency:percentile(99),
        errors.connect, errors.read, errors.write, errors.status, errors.timeout))
end
