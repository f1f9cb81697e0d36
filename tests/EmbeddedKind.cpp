#include <BinaryData.h>
#include <iostream>

// Says what the build embeds, for the test that builds as a release build does.
int main()
{
    std::cout << (BinaryData::payloadsAreSamples ? "sample" : "release") << '\n';
    return 0;
}
