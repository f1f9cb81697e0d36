// JUCE includes jpeglib inside a namespace of its own and looks for `boolean` there; on
// Windows, windows.h has already declared it globally, so jpeglib leaves it out.
#include_next <jpeglib.h>

#ifdef _WIN32
typedef ::boolean boolean;
#endif
