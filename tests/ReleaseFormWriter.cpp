#include "PayloadCheck.h"
#include "ReleaseForm.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

// Writes the sample payloads with what a release carries put back, for the test that builds
// as a release build does. The folder it writes is made-up firmware in a release's form: the
// test removes it when done.
int main (int argc, char** argv)
{
    if (argc != 3)
    {
        std::cerr << "usage: qz_release_form_writer SAMPLE_FOLDER OUTPUT_FOLDER\n";
        return 2;
    }

    const std::filesystem::path samples (argv[1]), output (argv[2]);
    std::filesystem::create_directories (output);

    for (auto& row : PayloadCheck::rows())
    {
        std::ifstream in (samples / row.fileName, std::ios::binary);
        const std::vector<std::uint8_t> sample { std::istreambuf_iterator<char> (in), std::istreambuf_iterator<char>() };
        const auto payload = ReleaseForm::fromSample (row.fileName, sample);

        std::ofstream out (output / row.fileName, std::ios::binary);
        out.write (reinterpret_cast<const char*> (payload.data()), (std::streamsize) payload.size());

        if (sample.empty() || ! out.flush())
        {
            std::cerr << (samples / row.fileName).string() << ": cannot be turned into " << (output / row.fileName).string() << '\n';
            return 1;
        }
    }

    return 0;
}
