#include "TestAccess.h"

#include <unistd.h>

#include <cstdio>

#include "KeyFile.h"

namespace msspt {

std::string UniqueName(const char* tag) {
    std::string name = std::string("m") + tag + std::to_string(static_cast<long>(getpid()));
    if (name.size() > 20) name.resize(20);
    return name;
}

std::string KeyFilePath(const std::string& name, int group) {
    char suffix[8];
    std::snprintf(suffix, sizeof(suffix), "%02d", group);
    return std::string(mssp::KeyDir()) + "/." + name + suffix;
}

void RemoveKeyFile(const std::string& name, int group) { unlink(KeyFilePath(name, group).c_str()); }

}  // namespace msspt
