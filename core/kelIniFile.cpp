#include "core/kelIniFile.h"

#include <cerrno>
#include <vector>

#include <unistd.h>

#include "core/kelFileUtils.h"
#include "core/kelParseInt.h"
#include "core/kelTextUtils.h"
#include "core/kelUtf.h"
#include "platform/kelPlatformThread.h"
#include "platform/kelPrivateProfile.h"

namespace {

kelString sectionOrSpace(const kelString& name)
{
    return name.empty() ? kelString(u" ") : name;
}

kelString currentDirectory()
{
    std::vector<char> buf(4096);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE || buf.size() > (1u << 20)) return {};
        buf.resize(buf.size() * 2);
    }
    return utf8ToUtf16(buf.data());
}

// <appDataFolder>/<program>/<program>.ini, with its folder made.
kelString userSettingsFile()
{
    const kelString program = pathWithExt(fileNamePart(moduleNameWithExt()), {});
    const kelString base = appDataFolder();
    if (program.empty() || base.empty()) return {};
    createDirectories(base + program);
    return base + program + u"/" + program + u".ini";
}

std::vector<kelString> splitLines(const kelString& text)
{
    std::vector<kelString> lines;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != u'\r' && text[i] != u'\n') continue;
        if (i > start) lines.push_back(text.substr(start, i - start));
        if (i < text.size() && text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
        start = i + 1;
    }
    return lines;
}

} // namespace

// ---- kelIniAbstractStorage ----

kelIniAbstractStorage::kelIniAbstractStorage(const kelString& section, intptr_t lockTimeout)
    : f_section(sectionOrSpace(section)), f_lockTimeout(lockTimeout)
{}

kelString kelIniAbstractStorage::section() const
{
    kelLock lock(const_cast<kelIniAbstractStorage*>(this), true, lockTimeout());
    return lock ? f_section : kelString();
}

bool kelIniAbstractStorage::setSection(const kelString& name)
{
    kelLock lock(this, false, lockTimeout());
    if (!lock) return false;
    f_section = sectionOrSpace(name);
    return true;
}

bool kelIniAbstractStorage::enter(const kelString& section, kelString& sectionSave, intptr_t timeout)
{
    if (!acquire(false, effectiveTimeout(timeout))) return false;
    sectionSave.clear();
    if (!section.empty()) {
        sectionSave = f_section;
        f_section = section;
    }
    return true;
}

bool kelIniAbstractStorage::enter(const kelString& section, intptr_t timeout)
{
    kelString ignored;
    return enter(section, ignored, timeout);
}

void kelIniAbstractStorage::leave(const kelString& sectionSave)
{
    if (!sectionSave.empty()) f_section = sectionSave;
    releaseWO();
}

intptr_t kelIniAbstractStorage::getInteger(const kelString& key, intptr_t defValue)
{
    return static_cast<intptr_t>(parseInteger(getStringValue(key, formatInteger(defValue)), defValue, 10));
}

bool kelIniAbstractStorage::get(const kelString& key, bool defValue)
{
    return parseBoolean(getStringValue(key, defValue ? u"-1" : u"0"), defValue);
}

bool kelIniAbstractStorage::setInteger(const kelString& key, intptr_t value)
{
    return setStringValue(key, formatInteger(value));
}

bool kelIniAbstractStorage::setUnsigned(const kelString& key, uintptr_t value)
{
    return setStringValue(key, formatUnsigned(value));
}

bool kelIniAbstractStorage::setValue(const kelString& key, bool value)
{
    return setStringValue(key, value ? u"-1" : u"0");
}

bool kelIniAbstractStorage::waitForValue(const kelString& key, const kelString& value, intptr_t timeout)
{
    const uint64_t start = tickNow();
    for (;;) {
        if (getStringValue(key, {}) == value) return true;
        if (timeout <= 0 || ticksSince(start) >= static_cast<uint64_t>(timeout)) return false;
        kelSleepMs(1);
    }
}

// ---- kelIniFile ----

kelIniFile::kelIniFile(const kelString& fileName, const kelString& section, intptr_t lockTimeout,
                       bool checkFilePath)
    : kelIniAbstractStorage(section, lockTimeout), f_fileName(fileName)
{
    kelString name = fileName;
    // Blank names are trimmed before they are judged, so that they mean the
    // executable's file rather than the current directory itself.
    const kelString trimmed = trimText(name);
    if (checkFilePath && name != kUserFileName && !trimmed.empty() && trimmed.find(u'/') == kelString::npos) {
        const kelString base = withTrailingBackslash(currentDirectory());
        if (!base.empty()) {
            name = base + trimmed;
            createDirectories(filePathPart(name));
        }
    }
    // No other thread can know the store yet, so the lock is free.
    (void)setFileName(name);
}

kelString kelIniFile::resolvedName(const kelString& name)
{
    if (name == kUserFileName) return userSettingsFile();
    const kelString trimmed = trimText(name);
    return trimmed.empty() ? defaultFileName(moduleNameWithExt(u"ini")) : trimmed;
}

kelString kelIniFile::defaultFileName(const kelString& besideExecutable)
{
    if (!besideExecutable.empty() && kelCreatePrivateProfile(utf16ToUtf8(besideExecutable)))
        return besideExecutable;
    return userSettingsFile();
}

kelString kelIniFile::fileName() const
{
    kelLock lock(const_cast<kelIniFile*>(this), true, lockTimeout());
    return lock ? f_fileName : kelString();
}

bool kelIniFile::setFileName(const kelString& name)
{
    const kelString resolved = resolvedName(name);
    kelLock lock(this, false, lockTimeout());
    if (!lock) return false;
    f_fileName = resolved;
    if (!resolved.empty()) kelCreatePrivateProfile(utf16ToUtf8(resolved));
    return true;
}

std::string kelIniFile::filePath() const
{
    return utf16ToUtf8(f_fileName);
}

kelString kelIniFile::getStringValue(const kelString& key, const kelString& defValue)
{
    kelLock lock(this, true, lockTimeout());
    if (!lock) return {};
    const std::string file = filePath();
    const kelString k = trimText(key);
    if (!defValue.empty())
        return kelGetPrivateProfileString(currentSection(), k, defValue, kValueBufferSize, file);
    // The profile call cannot tell a missing key from one holding its
    // default, so "0" is checked against a second default.
    const kelString value = kelGetPrivateProfileString(currentSection(), k, u"0", kValueBufferSize, file);
    if (value != u"0") return value;
    const kelString probe = kelGetPrivateProfileString(currentSection(), k, u"2", 6, file);
    return probe == u"2" ? kelString() : value;
}

bool kelIniFile::setStringValue(const kelString& key, const kelString& value)
{
    kelLock lock(this, false, lockTimeout());
    if (!lock) return false;
    return kelWritePrivateProfileString(currentSection(), trimText(key), value, filePath());
}

kelString kelIniFile::getSectionText(const kelString& sectionName)
{
    kelLock lock(this, true, lockTimeout());
    if (!lock) return {};
    const kelString& section = sectionName.empty() ? currentSection() : sectionName;
    kelString text;
    for (const kelString& line : kelGetPrivateProfileSection(section, filePath())) {
        // Whole lines only, with room for the buffer's closing terminators.
        if (text.size() + line.size() + 2 > kSectionBufferSize - 2) break;
        text += line;
        text += u"\r\n";
    }
    return text;
}

bool kelIniFile::setSectionText(const kelString& sectionName, const kelString& value)
{
    kelLock lock(this, false, lockTimeout());
    if (!lock) return false;
    const kelString& section = sectionName.empty() ? currentSection() : sectionName;
    return kelWritePrivateProfileSection(section, splitLines(value), filePath());
}
