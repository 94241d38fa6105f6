#include "core/kelProgramLog.h"

#include "core/kelFileUtils.h"
#include "core/kelLog.h"
#include "core/kelLogSink.h"
#include "core/kelUtf.h"

#include <cstdlib>
#include <memory>

namespace {

kelString withSlash(kelString path)
{
    if (!path.empty() && path.back() != u'/') path.push_back(u'/');
    return path;
}

} // namespace

kelString programLogFileName(const kelString& program, const char* xdgStateHome, const kelString& home)
{
    if (program.empty()) return {};
    kelString state;
    // A relative XDG path is ignored, as the base-directory rules ask.
    if (xdgStateHome != nullptr && xdgStateHome[0] == '/')
        state = withSlash(utf8ToUtf16(xdgStateHome));
    else if (!home.empty())
        state = withSlash(home) + u".local/state/";
    else
        return {};
    return state + program + u"/" + program + u".log";
}

kelString programLogFileName(const kelString& program)
{
    return programLogFileName(program, std::getenv("XDG_STATE_HOME"), specialFolder(kelFolderHome));
}

kelString startProgramLog(const kelString& program)
{
    logAddSink(std::make_shared<kelLogStderrSink>());
    const kelString name = programLogFileName(program);
    if (name.empty()) {
        logFailure("no home folder: the log goes to standard error only");
        return {};
    }
    auto file = createDirectories(filePathPart(name)) ? std::make_shared<kelLogFileSink>(name) : nullptr;
    if (!file || !file->isOpen()) {
        logFailure("cannot open the log file " + utf16ToUtf8(name) + ": the log goes to standard error only");
        return {};
    }
    logAddSink(std::move(file));
    return name;
}
