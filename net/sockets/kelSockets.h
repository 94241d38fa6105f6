#pragma once
// The socket unit: socket library start-up (kelWSA), the socket classes
// (kelSocket, kelTcpSocket, kelUdpSocket, kelMulticastSocket), the address
// routines and crackURI; the socket-thread manager (kelSocks with its
// threads, connections, delivery threads and kelSocketEvent codes). Error
// codes are the socket library's (platform/kelSocketApi.h).

#include "net/sockets/kelSockAddr.h"
#include "net/sockets/kelSocket.h"
#include "net/sockets/kelSocketEvent.h"
#include "net/sockets/kelSocks.h"
#include "net/sockets/kelSocksConnection.h"
#include "net/sockets/kelSocksPacketStormThread.h"
#include "net/sockets/kelSocksThread.h"
#include "net/sockets/kelUdpSocket.h"
#include "net/sockets/kelURICrack.h"
#include "net/sockets/kelWSA.h"
#include "platform/kelLastError.h"
#include "platform/kelSocketApi.h"
#include "platform/kelUrlSplit.h"
