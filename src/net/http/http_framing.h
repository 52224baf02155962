#pragma once

// HTTP/1.1 message framing, pure and incremental: fed any split of the bytes, it says where a
// message head, a request body or the responses to one request end. No sockets, no copies of
// bodies: the caller forwards the bytes itself.
#include "net/http/body_framing.h"     // BodyFraming, requestBodyFraming, BodyFramer
#include "net/http/message_head.h"     // MessageHead
#include "net/http/request_head.h"     // RequestHead, parseRequestHead
#include "net/http/response_framing.h" // ResponseFramer
