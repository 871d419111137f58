// The memory baseline: a program that links libcups, touches it once so the link stays, and
// exits.
#include <cups/cups.h>

int main()
{
    return cupsGetOption("PageSize", 0, nullptr) != nullptr;
}
