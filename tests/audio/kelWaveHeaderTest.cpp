#include "audio/kelWave.h"

#include <gtest/gtest.h>

TEST(kelWaveHeaderTest, UnitHeaderCompilesAlone)
{
    EXPECT_EQ(sizeof(WAVEFORMATEXTENSIBLE), 40u);
}
