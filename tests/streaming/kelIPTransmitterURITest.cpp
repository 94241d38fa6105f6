// A transmitter given a URI that does not parse stays closed, whatever URI
// it had before, and says why.

#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"

#include <gtest/gtest.h>

TEST(kelIPTransmitterURI, BadURIAfterAGoodOneFailsTheOpenAndSaysWhy)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    ASSERT_TRUE(tx);
    for (const kelString& bad :
         {kelString(u"rtp://127.0.0.1:99999"), kelString(u"rtp://127.0.0.1:abc"), kelString()}) {
        SCOPED_TRACE(std::string(bad.begin(), bad.end()));
        tx->setURI(kelTestURI(port));
        ASSERT_TRUE(tx->open());
        tx->close();
        tx->setURI(bad);
        EXPECT_FALSE(tx->open());
        EXPECT_FALSE(tx->active());
        EXPECT_FALSE(tx->descriptionError().empty());
    }
    // A good URI opens again.
    tx->setURI(kelTestURI(port));
    EXPECT_TRUE(tx->open());
    EXPECT_TRUE(tx->descriptionError().empty());
    tx->close();
}
