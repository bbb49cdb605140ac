// The smallest host: build a parser for one group, let it print its banner,
// destroy it. Built outside the tree with `pkg-config --cflags --libs mssp`.
#include <MultiStreamSyncParser.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc > 1 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help"))) {
        std::puts("usage: mssp-minimal-host [NAME]   builds a parser for 4 streams under shared-memory name NAME "
                  "(default demo), then removes its key file");
        return 0;
    }
    std::string name = argc > 1 ? argv[1] : "demo";
    MSSP_StreamOperation_t ops;
    std::memset(&ops, 0, sizeof(ops));  // a real host fills the nine slots
    {
        CMultiStreamSyncParser parser(1, 4, name.data(), 256 * 1024, 64, &ops, nullptr, 0);
        (void)parser;
        std::puts("parser built for 4 streams");
    }
    // The key file stays by design; this example removes its own (in
    // MSSP_KEY_DIR when that is set, as the engine does).
    const char* dir = std::getenv("MSSP_KEY_DIR");
    std::string key = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/." + name + "01";
    unlink(key.c_str());
    return 0;
}
