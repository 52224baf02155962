// A program of another project that uses Vesktor's core library.
#include "net/rules/request_rewriter.h"

int main()
{
    return splitEntries("Via: Vesktor 1.0").size() == 1 ? 0 : 1;
}
