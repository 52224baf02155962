#pragma once

// The exchange with the origin server is ProxySession's (upstream_relay.cpp): the rewritten
// request goes out when the connection is up, every piece of the response is handed to the
// browser as it arrives, and the slot is reset once the server has closed and the browser has
// been sent everything. The server is read only while the browser's queue is empty, so a slot
// holds at most one read's worth of a response, however slowly its browser reads.
