#include "core/kelResultText.h"

#include "core/kelFileUtils.h"
#include "platform/kelSocketApi.h"

#include <gtest/gtest.h>

TEST(kelResultTextTest, KnownCodesOfEachFamilyHaveTheirText)
{
    EXPECT_EQ(kelResultText(0), u"success");
    EXPECT_EQ(kelResultText(WSAEADDRINUSE), u"address already in use");
    EXPECT_EQ(kelResultText(WSAECONNRESET), u"connection reset by peer");
    EXPECT_EQ(kelResultText(WSAETIMEDOUT), u"connection timed out");
    EXPECT_EQ(kelResultText(WSAENOTSOCK), u"not a socket");
    EXPECT_EQ(kelResultText(WSAHOST_NOT_FOUND), u"host not found");
    EXPECT_EQ(kelResultText(11), u"invalid parameter");
    EXPECT_EQ(kelResultText(12), u"busy or timed out");
    EXPECT_EQ(kelResultText(kelFileCannotOpen), u"file cannot be opened");
    EXPECT_EQ(kelResultText(kelFileShort), u"fewer bytes read or written than asked for");
    EXPECT_EQ(kelResultText(12005), u"invalid URL");
    // The unspecified failure, whether kept signed or as its bit pattern.
    EXPECT_EQ(kelResultText(static_cast<int32_t>(0x80004005u)), u"unspecified failure");
    EXPECT_EQ(kelResultText(0x80004005), u"unspecified failure");
}

TEST(kelResultTextTest, EverySocketCodeOfThePlatformLayerIsNamed)
{
    const int codes[] = {
        WSAEINTR,           WSAEBADF,          WSAEACCES,       WSAEFAULT,       WSAEINVAL,
        WSAEMFILE,          WSAEWOULDBLOCK,    WSAEINPROGRESS,  WSAEALREADY,     WSAENOTSOCK,
        WSAEDESTADDRREQ,    WSAEMSGSIZE,       WSAEPROTOTYPE,   WSAENOPROTOOPT,  WSAEPROTONOSUPPORT,
        WSAESOCKTNOSUPPORT, WSAEOPNOTSUPP,     WSAEPFNOSUPPORT, WSAEAFNOSUPPORT, WSAEADDRINUSE,
        WSAEADDRNOTAVAIL,   WSAENETDOWN,       WSAENETUNREACH,  WSAENETRESET,    WSAECONNABORTED,
        WSAECONNRESET,      WSAENOBUFS,        WSAEISCONN,      WSAENOTCONN,     WSAESHUTDOWN,
        WSAETOOMANYREFS,    WSAETIMEDOUT,      WSAECONNREFUSED, WSAELOOP,        WSAENAMETOOLONG,
        WSAEHOSTDOWN,       WSAEHOSTUNREACH,   WSAENOTEMPTY,    WSAEPROCLIM,     WSAEUSERS,
        WSAEDQUOT,          WSAESTALE,         WSAEREMOTE,      WSASYSNOTREADY,  WSAVERNOTSUPPORTED,
        WSANOTINITIALISED,  WSAHOST_NOT_FOUND, WSATRY_AGAIN,    WSANO_RECOVERY,  WSANO_DATA};
    for (const int code : codes) {
        const kelString text = kelResultText(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find(u"unknown"), kelString::npos) << code;
    }
}

TEST(kelResultTextTest, UnknownCodesNameTheirNumber)
{
    EXPECT_EQ(kelResultText(42), u"unknown code 42");
    EXPECT_EQ(kelResultText(-7), u"unknown code -7");
    EXPECT_EQ(kelResultText(10000), u"unknown code 10000");
}

TEST(kelResultTextTest, WithTextPutsTheCodeFirst)
{
    EXPECT_EQ(kelResultWithText(10054), u"10054 (connection reset by peer)");
    EXPECT_EQ(kelResultWithText(-3), u"-3 (file read or write failed)");
    EXPECT_EQ(kelResultWithText(99), u"99 (unknown code 99)");
}
