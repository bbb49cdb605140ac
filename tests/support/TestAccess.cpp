#include "TestAccess.h"

#include <unistd.h>

#include <cstdio>

namespace msspt {

std::string UniqueName(const char* tag) {
    std::string name = std::string("m") + tag + std::to_string(static_cast<long>(getpid()));
    if (name.size() > 20) name.resize(20);
    return name;
}

void RemoveKeyFile(const std::string& name, int group) {
    char path[128];
    std::snprintf(path, sizeof(path), "/tmp/.%s%02d", name.c_str(), group);
    unlink(path);
}

}  // namespace msspt
