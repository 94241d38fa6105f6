#pragma once
// Saving and restoring a window's (or control's) position, size, state and
// a few flags in a settings store, under keys built from the control's name
// N: "N.left", "N.top", "N.width", "N.height", "N.enabled", "N.visible",
// "N.docked", "N.dockOrnt" and "N.windowState".
//
// The library knows no window toolkit: a program wraps its window in a
// kelControlGeometry. Both routines run on the window thread and keep the
// store entered while they talk to the control, so another thread's
// settings never interleave with one window's keys.

#include "core/kelTypes.h"

#include <cstdint>

class kelIniAbstractStorage;

// Window states as they are stored.
inline constexpr intptr_t kelWindowStateNormal = 0;
inline constexpr intptr_t kelWindowStateMinimized = 1;
inline constexpr intptr_t kelWindowStateMaximized = 2;

struct kelControlBounds
{
    intptr_t left = 0;
    intptr_t top = 0;
    intptr_t width = 0;
    intptr_t height = 0;
};

// What the position routines need of a window or control. Implemented by
// the programs over their toolkit; called on the window thread only.
// Exceptions leaving these calls are caught by the routines.
class kelControlGeometry
{
public:
    virtual ~kelControlGeometry() = default;

    virtual kelString controlName() const = 0;
    // A top-level window (rather than a control inside one).
    virtual bool isTopLevel() const = 0;
    // Position and size; for a top-level window in the normal state these
    // are its normal bounds.
    virtual kelControlBounds bounds() const = 0;
    virtual void setBounds(const kelControlBounds& bounds) = 0;
    virtual bool isEnabled() const = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isVisible() const = 0;
    virtual void setVisible(bool visible) = 0;
    // The control sits in a dock site.
    virtual bool isDocked() const = 0;
    virtual intptr_t dockOrientation() const = 0;
    virtual void setDockOrientation(intptr_t orientation) = 0;
    // One of the kelWindowState values.
    virtual intptr_t windowState() const = 0;
    virtual void setWindowState(intptr_t state) = 0;
};

// Reads the keys of `section`, with the control's current values as
// defaults, and applies them: position, size (when `loadSize`), enabled,
// visibility (controls only), docking orientation, and for a top-level
// window with `loadWindowState` its state, after its bounds. A stored state
// other than the three known ones is ignored. False when the store cannot
// be entered (nothing changes) or a control call failed.
bool loadControlPosition(kelControlGeometry* control, kelIniAbstractStorage* storage,
                         const kelString& section, bool loadWindowState, bool loadSize);

// Writes the keys. For a top-level window with `saveWindowState` the state
// is written first and the window is then made normal, so that the bounds
// written are its normal bounds. False without a control or store, when the
// store cannot be entered, or when a control call or a write failed.
bool saveControlPosition(kelControlGeometry* control, kelIniAbstractStorage* storage,
                         const kelString& section, bool saveWindowState);
