// minimap-client: see host/ClientApp.h.
#include <cstdio>
#include <string>

#include "host/ClientApp.h"
#include "host/ClientOptions.h"

int main(int argc, char** argv) {
    host::ClientOptions options;
    std::string error;
    if (!host::ParseClientOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "minimap-client: %s\n%s", error.c_str(), host::ClientUsage());
        return 2;
    }
    if (options.help) {
        std::fputs(host::ClientUsage(), stdout);
        return 0;
    }
    return host::RunClient(options);
}
