#pragma once

// HTTP-style and SDP message readers of the session protocols.

#include "net/protocols/kelHTTPparser.h"
#include "net/protocols/kelSDPParser.h"
