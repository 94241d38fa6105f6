#pragma once
// Scaffolding for the plug-in coder tests: where the test plug-ins (built
// from tests/support/codecplugin) are, and a look into a loaded plug-in's
// count of live codec instances. Header only.

#include "codecs/kelOpenH323Plugin.h"
#include "platform/kelDynLib.h"

#include <string>

#ifndef KEL_TEST_PLUGIN_DIR
#error "kelTestCodecPlugins.h needs KEL_TEST_PLUGIN_DIR (tests/codecs defines it)"
#endif

// The test plug-in of one form: "good", "nocodecs", "noentry", "defective".
inline std::string kelTestPluginPath(const std::string& form)
{
    return std::string(KEL_TEST_PLUGIN_DIR) + "/kel_test_codec_plugin_" + form + ".so";
}

inline kelString kelTestPluginName(const std::string& form)
{
    const std::string path = kelTestPluginPath(form);
    return kelString(path.begin(), path.end());
}

// Holds a plug-in loaded for the whole test, so its instance count survives
// the coders that come and go.
class kelTestPluginProbe
{
public:
    explicit kelTestPluginProbe(const std::string& form)
    {
        f_lib.open(kelTestPluginPath(form));
        f_live = reinterpret_cast<int (*)()>(f_lib.symbol("kelTestPluginLiveInstances"));
    }
    bool ok() const { return f_live != nullptr; }
    int liveInstances() const { return f_live ? f_live() : -1; }

private:
    kelDynLib f_lib;
    int (*f_live)() = nullptr;
};
