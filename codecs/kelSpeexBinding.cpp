#include "codecs/kelSpeexBinding.h"

#include "core/kelTextUtils.h"
#include "core/kelUtf.h"

namespace {

template <typename F> bool bind(const kelDynLib& lib, F& target, const char* name) noexcept
{
    target = reinterpret_cast<F>(lib.symbol(name));
    return target != nullptr;
}

bool resolveAll(const kelDynLib& lib, kelSpeexCalls& calls) noexcept
{
    bool ok = true;
#define KEL_SPEEX_BIND(name) ok = bind(lib, calls.name, #name) && ok;
    KEL_SPEEX_EXPORTS(KEL_SPEEX_BIND)
#undef KEL_SPEEX_BIND
    return ok;
}

bool resolveAll(const kelDynLib& lib, kelSpeexDSPCalls& calls) noexcept
{
    bool ok = true;
#define KEL_SPEEX_BIND(name) ok = bind(lib, calls.name, #name) && ok;
    KEL_SPEEX_DSP_EXPORTS(KEL_SPEEX_BIND)
#undef KEL_SPEEX_BIND
    return ok;
}

} // namespace

template <class Calls> int kelSpeexBindingOf<Calls>::load(const kelString& name) noexcept
{
    std::lock_guard<std::mutex> guard(f_mutex);
    if (f_count > 0) {
        ++f_count;
        return 0;
    }
    std::string path;
    try {
        path = utf16ToUtf8(trimText(std::u16string_view(name)));
        if (path.empty()) path = Calls::defaultName;
    } catch (...) {
        return kelLibNotFound;
    }
    if (!f_lib.open(path)) return kelLibNotFound;
    if (!resolve()) {
        forget();
        return kelLibMissingExport;
    }
    f_count = 1;
    return 0;
}

template <class Calls> void kelSpeexBindingOf<Calls>::unload() noexcept
{
    std::lock_guard<std::mutex> guard(f_mutex);
    if (f_count == 0) return;
    if (--f_count == 0) forget();
}

template <class Calls> bool kelSpeexBindingOf<Calls>::resolve() noexcept
{
    return resolveAll(f_lib, f_calls);
}

template <class Calls> void kelSpeexBindingOf<Calls>::forget() noexcept
{
    f_calls = Calls{};
    f_lib.close();
    f_count = 0;
}

template class kelSpeexBindingOf<kelSpeexCalls>;
template class kelSpeexBindingOf<kelSpeexDSPCalls>;
