// minimap-client: see host/ClientApp.h.
#include "host/ClientApp.h"
#include "host/ClientOptions.h"

int main(int argc, char** argv) {
    host::ClientOptions options;
    if (const int exitCode = host::ParseClientCommandLine(argc, argv, options); exitCode >= 0) {
        return exitCode;
    }
    return host::RunClient(options);
}
