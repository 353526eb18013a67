// Test-only stand-in for `brennock --postlink ...`: the same entry point that
// brennock's main calls when its arguments hold "--postlink".
#include "PostLinkCli.h"

int main(int argc, char** argv)
{
    return postLinkMain(argc, argv);
}
