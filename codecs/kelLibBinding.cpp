#include "codecs/kelLibBinding.h"

namespace {

std::string trimmed(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

} // namespace

int kelLibBinding::load(const std::string& name) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(f_mutex);
        if (f_lib.isOpen()) {
            ++f_count;
            return 0;
        }
        std::string file = trimmed(name);
        if (file.empty()) file = f_defaultName;
        f_fileName = file;
        if (!f_lib.open(file)) {
            f_error = f_lib.errorText();
            return kelLibNotFound;
        }
        if (!resolve(f_lib)) {
            f_error = f_lib.errorText();
            clear();
            f_lib.close();
            return f_missingCode;
        }
        f_count = 1;
        return 0;
    } catch (...) {
        return kelLibNotFound;
    }
}

void kelLibBinding::unload() noexcept
{
    std::lock_guard<std::mutex> guard(f_mutex);
    if (f_count == 0) return;
    if (--f_count > 0) return;
    clear();
    f_lib.close();
}

bool kelLibBinding::isLoaded() const noexcept
{
    std::lock_guard<std::mutex> guard(f_mutex);
    return f_lib.isOpen();
}

int kelLibBinding::loadCount() const noexcept
{
    std::lock_guard<std::mutex> guard(f_mutex);
    return f_count;
}

std::string kelLibBinding::fileName() const
{
    std::lock_guard<std::mutex> guard(f_mutex);
    return f_fileName;
}

std::string kelLibBinding::errorText() const
{
    std::lock_guard<std::mutex> guard(f_mutex);
    return f_error;
}

bool kelLibBinding::exportsAll(const kelDynLib& lib, const char* const* names) noexcept
{
    bool all = true;
    for (; *names != nullptr; ++names)
        all = lib.symbol(*names) != nullptr && all;
    return all;
}
