#include "core/kelControlPosition.h"

#include "core/kelIniFile.h"
#include "core/kelLog.h"

namespace {

// Leaves the store on every path out of a routine.
class Entered
{
public:
    explicit Entered(kelIniAbstractStorage* storage) noexcept : f_storage(storage) {}
    ~Entered() { f_storage->leave(); }
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;

private:
    kelIniAbstractStorage* f_storage;
};

bool knownState(intptr_t state)
{
    return state == kelWindowStateNormal || state == kelWindowStateMinimized ||
           state == kelWindowStateMaximized;
}

} // namespace

bool loadControlPosition(kelControlGeometry* control, kelIniAbstractStorage* storage,
                         const kelString& section, bool loadWindowState, bool loadSize)
{
    if (control == nullptr || storage == nullptr || !storage->enter(section, 0)) return false;
    Entered entered(storage);
    try {
        const kelString n = control->controlName();
        kelControlBounds b = control->bounds();
        b.left = storage->get(n + u".left", b.left);
        b.top = storage->get(n + u".top", b.top);
        if (loadSize) {
            b.width = storage->get(n + u".width", b.width);
            b.height = storage->get(n + u".height", b.height);
        }
        control->setBounds(b);
        control->setEnabled(storage->get(n + u".enabled", control->isEnabled()));
        const bool topLevel = control->isTopLevel();
        if (!topLevel) control->setVisible(storage->get(n + u".visible", control->isVisible()));
        control->setDockOrientation(storage->get(n + u".dockOrnt", control->dockOrientation()));
        if (topLevel && loadWindowState) {
            const intptr_t state = storage->get(n + u".windowState", 0);
            if (knownState(state) && state != control->windowState()) control->setWindowState(state);
        }
    } catch (...) {
        // A failing toolkit call leaves the window as far as it got.
        logCaught("loading a control's position");
        return false;
    }
    return true;
}

bool saveControlPosition(kelControlGeometry* control, kelIniAbstractStorage* storage,
                         const kelString& section, bool saveWindowState)
{
    if (control == nullptr || storage == nullptr || !storage->enter(section, 0)) return false;
    Entered entered(storage);
    bool ok = true;
    try {
        const kelString n = control->controlName();
        const bool topLevel = control->isTopLevel();
        if (topLevel && saveWindowState) {
            const intptr_t state = control->windowState();
            ok = storage->setValue(n + u".windowState", state) && ok;
            if (state != kelWindowStateNormal) control->setWindowState(kelWindowStateNormal);
        }
        const kelControlBounds b = control->bounds();
        ok = storage->setValue(n + u".left", b.left) && ok;
        ok = storage->setValue(n + u".top", b.top) && ok;
        ok = storage->setValue(n + u".width", b.width) && ok;
        ok = storage->setValue(n + u".height", b.height) && ok;
        ok = storage->setValue(n + u".enabled", control->isEnabled()) && ok;
        ok = storage->setValue(n + u".docked", control->isDocked()) && ok;
        ok = storage->setValue(n + u".dockOrnt", control->dockOrientation()) && ok;
        if (!topLevel) ok = storage->setValue(n + u".visible", control->isVisible()) && ok;
    } catch (...) {
        logCaught("saving a control's position");
        return false;
    }
    return ok;
}
