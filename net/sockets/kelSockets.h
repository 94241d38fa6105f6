#pragma once
// The socket unit: socket library start-up (kelWSA), the socket classes
// (kelSocket, kelTcpSocket, kelUdpSocket, kelMulticastSocket), the address
// routines and crackURI. Error codes are the socket library's
// (platform/kelSocketApi.h).

#include "net/sockets/kelSockAddr.h"
#include "net/sockets/kelSocket.h"
#include "net/sockets/kelUdpSocket.h"
#include "net/sockets/kelURICrack.h"
#include "net/sockets/kelWSA.h"
#include "platform/kelLastError.h"
#include "platform/kelSocketApi.h"
#include "platform/kelUrlSplit.h"
