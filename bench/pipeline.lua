-- A pipelining client for wrk: each connection sends DEPTH requests at once and sends the next
-- DEPTH only when all of them are answered. wrk counts every response as a request done. Its
-- latency figures are left out: they would be per batch, and wrk 4.1.0 (Debian 12) reports
-- percentiles of 0 for batches of ten, directly against nginx too.
--
-- Usable against a proxy or against the origin itself:
--   wrk -c 50 -d 2s -s bench/pipeline.lua http://127.0.0.1:PROXY -- http://ORIGIN/1k.bin ORIGIN 10
--   wrk -c 50 -d 2s -s bench/pipeline.lua http://ORIGIN -- /1k.bin ORIGIN 10
--
-- Arguments after "--": TARGET HOST [DEPTH]
--   TARGET  the request target: the absolute URI through a proxy, the path directly
--   HOST    the origin's host:port for the Host header
--   DEPTH   requests sent at once per connection (default 10)
--
-- A server or proxy that does not handle pipelining shows in the line done() prints: when it
-- answers only the first request of a batch and closes, or answers nothing, wrk starts a new
-- batch on a new connection and the rest of the old one is never answered, so "answered" falls
-- short of "sent" (by more than the last batch of each connection, which may still be on its
-- way when the run ends); when it hangs, "answered" stays near 0 and timeouts rise.

-- Globals of each thread, read by done() through the thread objects.
depth = 10
batches = 0
local batch_text
local threads = {}

function setup(thread)
    table.insert(threads, thread)
end

function init(args)
    depth = tonumber(args[3] or "10")
    local request_text = wrk.format("GET", args[1], { ["Host"] = args[2] })
    batch_text = string.rep(request_text, depth)
    batches = 0
end

function request()
    batches = batches + 1
    return batch_text
end

function done(summary, latency, requests)
    local started, batch_depth = 0, 0
    for _, thread in ipairs(threads) do
        started = started + thread:get("batches")
        batch_depth = thread:get("depth")
    end
    -- wrk calls request() once before the run to count the requests of a batch; that batch is
    -- never sent.
    started = started - 1
    local errors = summary.errors
    io.write(string.format(
        "RESULT requests=%d duration_us=%d bytes=%d " ..
        "connect_errors=%d read_errors=%d write_errors=%d status_errors=%d timeouts=%d " ..
        "sent=%d depth=%d\n",
        summary.requests, summary.duration, summary.bytes,
        errors.connect, errors.read, errors.write, errors.status, errors.timeout,
        started * batch_depth, batch_depth))
end
