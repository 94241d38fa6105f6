// A program outside the project that uses the installed library.
#include "core/kelClasses.h"

int main()
{
    kelObject object;
    if (!object.acquire(false, 100)) return 1;
    bool freed = object.releaseWO();
    kelEvent event(true, false, u"");
    event.setState(true);
    return freed && event.waitFor(0) ? 0 : 2;
}
