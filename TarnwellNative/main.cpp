#include <cstdio>
#include <exception>

#include "State/PublicConfigLoader.hpp"

int main() {
    try {
        const auto config = tarnwell::PublicConfigLoader::load();
        std::printf("TarnwellNative: backend %s, bucket \"%s\".\n", config.supabaseURL.c_str(),
                    config.filesBucket.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "TarnwellNative: %s\n", error.what());
        return 1;
    }
    std::printf("The window is not built yet; the sync engine comes first.\n");
    return 0;
}
