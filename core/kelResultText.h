#pragma once
// A readable English text for the result codes of this library, for logs
// and diagnostics written beside the code itself ("10048 (address already in
// use)"). Pure routine; any thread.
//
// The codes come from several numberings that do not overlap: 0 success;
// the file routines' negative codes (-1 .. -4) and the IP transmitter's
// command result (-10); the unspecified failure 0x80004005; the multimedia
// result codes 11 (invalid parameter) and 12 (busy, also a lock or hand-shake
// that timed out); the socket codes 10004 .. 11004; the URL splitter's
// 12005. Any other number gives "unknown code N".
//
// These texts are for people reading logs. The fixed texts a component
// reports as its state (such as "Socket error: " and the code) do not change
// and never embed this one.

#include "core/kelTypes.h"

#include <cstdint>

kelString kelResultText(int64_t code);

// The code in decimal followed by its text in brackets: "10054 (connection
// reset by peer)". The form log lines use.
kelString kelResultWithText(int64_t code);
