#include "PayloadCheck.h"

#include <algorithm>
#include <fstream>
#include <iostream>

int main (int argc, char** argv)
{
    if (argc < 2)
    {
        std::cerr << "usage: qz_payload_checker FILE...\n";
        return 2;
    }

    for (int i = 1; i < argc; ++i)
    {
        const std::string path (argv[i]);
        std::ifstream file (path, std::ios::binary | std::ios::ate);
        std::vector<std::uint8_t> bytes ((std::size_t) std::max<std::streamoff> (0, file.tellg()));

        if (! file.seekg (0).read (reinterpret_cast<char*> (bytes.data()), (std::streamsize) bytes.size()))
        {
            std::cerr << path << ": cannot be read\n";
            return 1;
        }

        if (const auto fault = PayloadCheck::check (path, bytes))
        {
            std::cerr << fault->message << '\n';
            return 1;
        }
    }

    return 0;
}
