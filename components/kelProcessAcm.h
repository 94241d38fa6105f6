#pragma once
// The process-wide compression-manager registry that wave pipe components
// use when no onAcmReq handler gives them one. It is made on first use,
// exactly once however many threads ask at the same moment, and freed when
// the program ends (after every component, which must be gone by then).
// Its drivers are enumerated once, the first time a component selects a
// driver in registry mode.

class kelMsAcm;

// The registry; null only when it could not be made. Any thread.
kelMsAcm* kelProcessAcm() noexcept;

// Enumerates the drivers of `acm` once: the first call for the
// process-wide registry enumerates it, later calls do nothing. A registry
// given by a handler is enumerated while it lists no drivers. Any thread.
void kelEnumerateAcmDriversOnce(kelMsAcm* acm) noexcept;
