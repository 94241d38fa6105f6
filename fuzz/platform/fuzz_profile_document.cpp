// Feeds arbitrary file content to the ini reader, then checks that saving is
// stable: what a save writes loads back to the same lines and saves to the
// same bytes, and that an edit made on top reads back.
#include "platform/kelProfileDocument.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelProfileDocument doc;
    doc.load(data, size);

    std::u16string value;
    const std::u16string section = doc.lines().empty() ? std::u16string(u"s") : doc.lines().front();
    (void)doc.find(section, u"k", value);
    (void)doc.sectionLines(section);

    const std::string first = doc.save();
    kelProfileDocument again;
    again.load(reinterpret_cast<const uint8_t*>(first.data()), first.size());
    if (again.lines() != doc.lines() || again.save() != first) std::abort();

    // The input's last line as a value must either be refused or read back.
    const std::u16string v = doc.lines().empty() ? std::u16string() : doc.lines().back();
    if (again.setValue(u"fuzz", u"key", v)) {
        if (!again.find(u"fuzz", u"key", value) || value != v) std::abort();
        const std::string edited = again.save();
        kelProfileDocument third;
        third.load(reinterpret_cast<const uint8_t*>(edited.data()), edited.size());
        if (!third.find(u"FUZZ", u"KEY", value) || value != v) std::abort();
    }

    // Emptying the first section (which also drops its repeats) must keep
    // the rest readable as it was.
    kelProfileDocument pruned;
    pruned.load(data, size);
    const std::vector<std::u16string> kept = pruned.sectionLines(u"keep");
    if (pruned.replaceSection(section, {})) {
        const std::string out = pruned.save();
        kelProfileDocument reread;
        reread.load(reinterpret_cast<const uint8_t*>(out.data()), out.size());
        if (reread.lines() != pruned.lines()) std::abort();
        if (!kelProfileDocument::sameName(section, u"keep") && reread.sectionLines(u"keep") != kept)
            std::abort();
    }
    return 0;
}
