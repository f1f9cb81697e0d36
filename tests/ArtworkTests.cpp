#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

// The pixels of the pictures that the window's layout relies on, checked on the files a
// designer commits: the progress bar sits in the track, the labels below the rule, and
// the lamps show the panel around them.
namespace
{
    const juce::Colour ruleBlue (0xff00afec);
    const juce::Colour trackOutline (0xff9f9f9f);
    const juce::Rectangle<int> trackBounds { 19, 314, 481 - 19 + 1, 341 - 314 + 1 };

    juce::Image loadPicture (const juce::String& name)
    {
        return juce::ImageFileFormat::loadFrom (juce::File (QZ_PICTURES_DIR).getChildFile (name + ".png"));
    }

    juce::String describe (juce::Point<int> p, juce::Colour colour)
    {
        return "(" + p.toString() + ") is " + colour.toDisplayString (true);
    }

    juce::StringArray checkSize (const juce::Image& image, int width, int height)
    {
        if (image.getWidth() == width && image.getHeight() == height)
            return {};

        return { "is " + juce::String (image.getWidth()) + " x " + juce::String (image.getHeight())
                 + " instead of " + juce::String (width) + " x " + juce::String (height) };
    }

    juce::StringArray checkOpaque (const juce::Image& image)
    {
        for (int y = 0; y < image.getHeight(); ++y)
            for (int x = 0; x < image.getWidth(); ++x)
                if (image.getPixelAt (x, y).getAlpha() != 0xff)
                    return { "is not opaque: " + describe ({ x, y }, image.getPixelAt (x, y)) };

        return {};
    }

    /** The header band ends where the rule starts: rows 140 to 142, each one colour across
        the width; the middle one is the blue itself, the outer ones may lean towards their
        neighbours but stay clearly blue.
    */
    juce::StringArray checkRule (const juce::Image& image)
    {
        juce::StringArray problems;

        for (int y = 140; y <= 142; ++y)
        {
            const auto first = image.getPixelAt (0, y);

            if (y == 141 ? first != ruleBlue : first.getBlue() < first.getRed() + 0x40)
                problems.add ("the rule's pixel " + describe ({ 0, y }, first));

            for (int x = 1; x < image.getWidth(); ++x)
            {
                if (image.getPixelAt (x, y) != first)
                {
                    problems.add ("the rule's pixel " + describe ({ x, y }, image.getPixelAt (x, y)));
                    break;
                }
            }
        }

        return problems;
    }

    /** The track's 1-pixel outline, straight between curved corners, and nothing of it outside. */
    juce::StringArray checkTrack (const juce::Image& image)
    {
        juce::StringArray problems;
        constexpr int corner = 5;
        const auto left = trackBounds.getX(), right = trackBounds.getRight() - 1;
        const auto top = trackBounds.getY(), bottom = trackBounds.getBottom() - 1;

        auto expectOutline = [&] (int x, int y)
        {
            if (image.getPixelAt (x, y) != trackOutline && problems.size() < 4)
                problems.add ("the track's outline " + describe ({ x, y }, image.getPixelAt (x, y)));
        };

        auto expectNotOutline = [&] (int x, int y)
        {
            if (image.getPixelAt (x, y) == trackOutline && problems.size() < 4)
                problems.add ("the track reaches past its outline: " + describe ({ x, y }, image.getPixelAt (x, y)));
        };

        for (int x = left + corner; x <= right - corner; ++x)
        {
            expectOutline (x, top);
            expectOutline (x, bottom);
            expectNotOutline (x, top - 1);
            expectNotOutline (x, bottom + 1);
        }

        for (int y = top + corner; y <= bottom - corner; ++y)
        {
            expectOutline (left, y);
            expectOutline (right, y);
            expectNotOutline (left - 1, y);
            expectNotOutline (right + 1, y);
        }

        return problems;
    }

    /** A lamp is a disc: nothing outside the circle that touches the picture's edges. */
    juce::StringArray checkLamp (const juce::Image& image)
    {
        const auto centre = juce::Point<float> ((float) image.getWidth(), (float) image.getHeight()) / 2.0f;
        const auto radius = (float) image.getWidth() / 2.0f;

        if (image.getPixelAt (image.getWidth() / 2, image.getHeight() / 2).getAlpha() != 0xff)
            return { "is not opaque in its middle" };

        for (int y = 0; y < image.getHeight(); ++y)
        {
            for (int x = 0; x < image.getWidth(); ++x)
            {
                // A pixel lies wholly outside when its nearest point is beyond the radius.
                const auto nearest = juce::Point<float> (juce::jlimit ((float) x, (float) x + 1.0f, centre.x),
                                                         juce::jlimit ((float) y, (float) y + 1.0f, centre.y));

                if (nearest.getDistanceFrom (centre) > radius && image.getPixelAt (x, y).getAlpha() != 0)
                    return { "is not transparent outside its circle: " + describe ({ x, y }, image.getPixelAt (x, y)) };
            }
        }

        return {};
    }

    juce::StringArray checkBackground (const juce::Image& image)
    {
        auto problems = checkSize (image, 500, 452);

        if (problems.isEmpty())
        {
            problems.addArray (checkOpaque (image));
            problems.addArray (checkRule (image));
            problems.addArray (checkTrack (image));
        }

        return problems;
    }

    juce::StringArray checkLampPicture (const juce::Image& image)
    {
        auto problems = checkSize (image, 12, 12);
        return problems.isEmpty() ? checkLamp (image) : problems;
    }

    juce::Image spoiled (const juce::Image& image, std::initializer_list<std::pair<juce::Point<int>, juce::Colour>> pixels)
    {
        // An opaque PNG loads without an alpha channel; a spoiled one may need it.
        auto copy = image.convertedToFormat (juce::Image::ARGB);

        for (auto& [p, colour] : pixels)
            copy.setPixelAt (p.x, p.y, colour);

        return copy;
    }
}

TEST (Artwork, TheCommittedPicturesHaveTheSizesAndPixelsTheLayoutNeeds)
{
    const auto background = loadPicture ("QZ_DriverUpdateUtility_Background");
    ASSERT_TRUE (background.isValid());
    EXPECT_EQ (checkBackground (background).joinIntoString ("\n"), "");

    const auto about = loadPicture ("QZ_DriverUpdateUtility_AboutScreen");
    auto aboutProblems = checkSize (about, 500, 329);
    aboutProblems.addArray (checkOpaque (about));
    aboutProblems.addArray (checkRule (about));
    EXPECT_EQ (aboutProblems.joinIntoString ("\n"), "");

    for (auto* name : { "QZ_DriverUpdateUtility_Button_Normal", "QZ_DriverUpdateUtility_Button_Hover",
                        "QZ_DriverUpdateUtility_Button_Press" })
        EXPECT_EQ (checkSize (loadPicture (name), 150, 30).joinIntoString ("\n"), "") << name;

    for (auto* name : { "QZ_DriverUpdateUtility_LED_WithHardware", "QZ_DriverUpdateUtility_LED_NoHardware" })
        EXPECT_EQ (checkLampPicture (loadPicture (name)).joinIntoString ("\n"), "") << name;
}

TEST (Artwork, APictureThatBreaksARuleIsCaught)
{
    const auto background = loadPicture ("QZ_DriverUpdateUtility_Background");
    const auto lamp = loadPicture ("QZ_DriverUpdateUtility_LED_WithHardware");
    ASSERT_TRUE (background.isValid() && lamp.isValid());

    const auto panel = background.getPixelAt (250, 200);

    EXPECT_FALSE (checkBackground (background.rescaled (500, 450)).isEmpty()) << "wrong size";
    EXPECT_FALSE (checkBackground (spoiled (background, { { { 300, 400 }, panel.withAlpha ((juce::uint8) 0xfe) } })).isEmpty()) << "a translucent pixel";
    EXPECT_FALSE (checkBackground (spoiled (background, { { { 499, 141 }, juce::Colour (0xff00aeec) } })).isEmpty()) << "the rule's core";
    EXPECT_FALSE (checkBackground (spoiled (background, { { { 7, 142 }, panel } })).isEmpty()) << "the rule's last row";
    EXPECT_FALSE (checkBackground (spoiled (background, { { { 250, 341 }, panel } })).isEmpty()) << "a gap in the outline";
    EXPECT_FALSE (checkBackground (spoiled (background, { { { 482, 330 }, trackOutline } })).isEmpty()) << "the outline a pixel wider";
    EXPECT_FALSE (checkLampPicture (spoiled (lamp, { { { 0, 0 }, juce::Colours::red } })).isEmpty()) << "a lamp's corner";
    EXPECT_FALSE (checkLampPicture (spoiled (lamp, { { { 11, 1 }, juce::Colours::red.withAlpha (0.1f) } })).isEmpty()) << "a faint corner";
    EXPECT_FALSE (checkLampPicture (lamp.rescaled (14, 14)).isEmpty()) << "a lamp's size";
}
