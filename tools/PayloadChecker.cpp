#include "PayloadCheck.h"

#include <algorithm>
#include <fstream>
#include <iostream>

int main (int argc, char** argv)
{
    const std::string kindOption (argc > 1 ? argv[1] : "");

    if (argc < 3 || (kindOption != "--sample" && kindOption != "--release"))
    {
        std::cerr << "usage: qz_payload_checker --sample|--release FILE...\n";
        return 2;
    }

    const auto kind = kindOption == "--release" ? PayloadCheck::Kind::release : PayloadCheck::Kind::sample;

    for (int i = 2; i < argc; ++i)
    {
        const std::string path (argv[i]);
        std::ifstream file (path, std::ios::binary | std::ios::ate);
        std::vector<std::uint8_t> bytes ((std::size_t) std::max<std::streamoff> (0, file.tellg()));

        if (! file.seekg (0).read (reinterpret_cast<char*> (bytes.data()), (std::streamsize) bytes.size()))
        {
            std::cerr << path << ": cannot be read\n";
            return 1;
        }

        if (const auto fault = PayloadCheck::check (path, bytes, kind))
        {
            std::cerr << fault->message << '\n';
            return 1;
        }
    }

    return 0;
}
