#pragma once
// Settings storage.
//
// kelIniAbstractStorage is the typed, lockable front end: integers, booleans
// and strings under keys of a current section. kelIniFile keeps them in an
// ini file through the private-profile layer (platform/kelPrivateProfile.h):
// UTF-16LE with a byte-order mark, CR LF lines, section and key names that
// ignore case. Nothing is cached: every get reads the file and every set
// rewrites it, atomically and under a file lock, so several stores, threads
// or processes may share one file without losing each other's updates.
//
// Encodings: integers as decimal text ("-" for negatives), booleans as "-1"
// and "0" (any non-zero number reads as true), strings as themselves. A text
// that does not parse as a number reads as the default.
//
// Threads: any thread may use a store. Every get and set takes the store's
// own lock with `lockTimeout` ms; a sequence that must see one section is
// bracketed with enter() / leave() (re-entrant for the holding thread). A
// lock that cannot be had makes a get return its default and a set return
// false. Nothing raises.

#include "core/kelObject.h"
#include "core/kelTypes.h"

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

class kelIniAbstractStorage : public kelObject
{
public:
    kelIniAbstractStorage(const kelString& section, intptr_t lockTimeout);

    // The current section. An empty name becomes a single space, here and in
    // the constructor. The setter waits `lockTimeout` for the lock and
    // returns false (section unchanged) when that fails.
    kelString section() const;
    bool setSection(const kelString& name);
    intptr_t lockTimeout() const noexcept { return f_lockTimeout.load(); }
    void setLockTimeout(intptr_t ms) noexcept { f_lockTimeout.store(ms); }

    // The whole storage as one text, for storages that have such a form.
    kelString asString() { return getAsString(); }

    // Takes the write lock within `timeout` ms (`lockTimeout` when 0). When it
    // was taken and `section` is not empty, `sectionSave` receives the current
    // section (else it is cleared) and `section` becomes current. Pair every
    // success with leave() on the same thread.
    [[nodiscard]] bool enter(const kelString& section, kelString& sectionSave, intptr_t timeout = 0);
    [[nodiscard]] bool enter(const kelString& section, intptr_t timeout = 0);
    // Makes `sectionSave` current again unless it is empty, then releases.
    void leave(const kelString& sectionSave = {});

    // Typed reads under the current section.
    template <std::integral T>
    requires(!std::same_as<T, bool>) intptr_t get(const kelString& key, T defValue)
    {
        return getInteger(key, static_cast<intptr_t>(defValue));
    }
    bool get(const kelString& key, bool defValue);
    kelString get(const kelString& key, const kelString& defValue) { return getStringValue(key, defValue); }
    kelString get(const kelString& key, const char16_t* defValue) { return getStringValue(key, defValue); }

    // Typed writes under the current section; true once stored.
    template <std::integral T>
    requires(!std::same_as<T, bool>) bool setValue(const kelString& key, T value)
    {
        if constexpr (std::is_signed_v<T>)
            return setInteger(key, static_cast<intptr_t>(value));
        else
            return setUnsigned(key, static_cast<uintptr_t>(value));
    }
    bool setValue(const kelString& key, bool value);
    bool setValue(const kelString& key, const kelString& value) { return setStringValue(key, value); }
    bool setValue(const kelString& key, const char16_t* value) { return setStringValue(key, value); }

    // The same in another section, which is current only during the call.
    template <class T> auto get(const kelString& section, const kelString& key, const T& defValue)
    {
        kelString save;
        decltype(get(key, defValue)) result = defValueOf(defValue);
        if (!enter(section, save)) return result;
        result = get(key, defValue);
        leave(save);
        return result;
    }
    template <class T> bool setValue(const kelString& section, const kelString& key, const T& value)
    {
        kelString save;
        if (!enter(section, save)) return false;
        const bool ok = setValue(key, value);
        leave(save);
        return ok;
    }

    // Polls the key (1 ms apart) until its text equals `value` or `timeout`
    // ms have passed; true when it did.
    bool waitForValue(const kelString& key, const kelString& value, intptr_t timeout);

    // Storage back end.
    virtual kelString getStringValue(const kelString& key, const kelString& defValue) = 0;
    virtual bool setStringValue(const kelString& key, const kelString& value) = 0;
    virtual kelString getAsString() = 0;
    virtual void setAsString(const kelString& value) = 0;
    // Every key=value line of the section, each followed by CR LF.
    virtual kelString getSectionText(const kelString& sectionName) = 0;
    // Replaces the whole section by the CR/LF-separated lines of `value`.
    virtual bool setSectionText(const kelString& sectionName, const kelString& value) = 0;

protected:
    // The current section; callers hold the lock.
    const kelString& currentSection() const noexcept { return f_section; }

private:
    intptr_t getInteger(const kelString& key, intptr_t defValue);
    bool setInteger(const kelString& key, intptr_t value);
    bool setUnsigned(const kelString& key, uintptr_t value);
    template <std::integral T> static intptr_t defValueOf(T v) { return static_cast<intptr_t>(v); }
    static bool defValueOf(bool v) { return v; }
    static kelString defValueOf(const kelString& v) { return v; }
    static kelString defValueOf(const char16_t* v) { return v ? kelString(v) : kelString(); }

    intptr_t effectiveTimeout(intptr_t timeout) const noexcept
    {
        return timeout == 0 ? lockTimeout() : timeout;
    }

    kelString f_section; // guarded by the object's lock
    std::atomic<intptr_t> f_lockTimeout;
};

class kelIniFile : public kelIniAbstractStorage
{
public:
    // Values longer than this many code units, less one, are cut.
    static constexpr size_t kValueBufferSize = 16384;
    // Section texts are cut, at a line boundary, to fit this many code units.
    static constexpr size_t kSectionBufferSize = 32768;
    // The name that stands for "my program's file in the per-user settings
    // folder": <appDataFolder>/<program>/<program>.ini.
    static constexpr char16_t kUserFileName[] = u"\x0001";

    // With `checkFilePath` a bare `fileName` (no "/") is placed in the current
    // directory, and kUserFileName in the per-user settings folder, creating
    // the missing directories. Then the fileName rule below applies.
    kelIniFile(const kelString& fileName, const kelString& section, intptr_t lockTimeout, bool checkFilePath);

    kelString fileName() const;
    // Trims the name; an empty name stands for defaultFileName(). A file that
    // does not exist is created holding only the UTF-16LE byte-order mark.
    // False when the lock could not be taken (the name is unchanged).
    bool setFileName(const kelString& name);

    // The file an empty name stands for: `besideExecutable` (the
    // executable's path with its extension replaced by ".ini", added when
    // it has none) when it exists or can be created; else, as for a program
    // installed in a folder its users cannot write, the per-user file of
    // kUserFileName, so that settings are still kept.
    static kelString defaultFileName(const kelString& besideExecutable);

    kelString getStringValue(const kelString& key, const kelString& defValue) override;
    // Refuses (false, file unchanged) values with CR, LF or NUL: the format
    // has no escape for them and they would add lines of their own.
    bool setStringValue(const kelString& key, const kelString& value) override;
    // An ini file has no single-text form: empty, and ignored.
    kelString getAsString() override { return {}; }
    void setAsString(const kelString&) override {}
    // An empty `sectionName` means the current section.
    kelString getSectionText(const kelString& sectionName) override;
    bool setSectionText(const kelString& sectionName, const kelString& value) override;

private:
    static kelString resolvedName(const kelString& name);
    std::string filePath() const;

    kelString f_fileName; // guarded by the object's lock
};
