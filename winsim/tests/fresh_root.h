// Each test that touches the stand-in's state gets a root folder of its own.
#pragma once

#include <stdlib.h>

#include <string>

#include "winsim/test.h"

inline std::string fresh_root()
{
    char tmpl[] = "/tmp/winsim-test-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    std::string path = dir ? dir : "/tmp";
    winsim::set_root(path);
    return path;
}
