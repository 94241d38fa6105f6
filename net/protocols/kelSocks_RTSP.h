#pragma once
// The RTSP unit: the method and header tables, the message text, the client
// thread with its connections, the server and its request parsers.

#include "net/protocols/kelRTSPClient.h"
#include "net/protocols/kelRTSPServer.h"
#include "net/protocols/kelRTSPServerParser.h"
#include "net/protocols/kelRTSPTables.h"
#include "net/protocols/kelRTSPWire.h"
