#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

int main (int argc, char** argv)
{
    testing::InitGoogleTest (&argc, argv);

    // JUCE installs its X error handlers only for what it takes to be a standalone app;
    // without them the first window under Xvfb dies of a BadAtom error.
    juce::JUCEApplicationBase::createInstance = [] () -> juce::JUCEApplicationBase* { return nullptr; };
    juce::ScopedJuceInitialiser_GUI juceInitialiser;

    return RUN_ALL_TESTS();
}
