#include <juce_gui_basics/juce_gui_basics.h>

#include <cmath>
#include <utility>
#include <iostream>
#include <stdexcept>

namespace
{
    // The updater lays its labels, buttons and progress bar over these pictures
    // at fixed places, so the geometry below has to stay where it is.
    constexpr int windowWidth = 500;
    constexpr int backgroundHeight = 452;
    constexpr int aboutHeight = 329;
    constexpr int bandHeight = 140;
    constexpr int ruleTop = 140;
    constexpr int ruleCoreRow = 141;
    constexpr int panelTop = 143;

    const juce::Rectangle<int> progressTrack { 19, 314, 463, 28 };

    const juce::Colour ruleBlue { 0xff00afec };
    const juce::Colour bandTop { 0xff2a2e35 };
    const juce::Colour bandBottom { 0xff15171b };
    const juce::Colour panelTopColour { 0xffefefef };
    const juce::Colour panelBottomColour { 0xffdddddd };
    const juce::Colour trackOutline { 0xff9f9f9f };
    const juce::Colour trackTop { 0xffd5d5d5 };
    const juce::Colour trackBottom { 0xffdddddd };
    const juce::Colour letterColour { 0xfff2f4f6 };

    struct ArtworkError : std::runtime_error
    {
        using std::runtime_error::runtime_error;
    };

    void require (bool condition, const juce::String& what)
    {
        if (! condition)
            throw ArtworkError (what.toStdString());
    }

    juce::Font sansFont (float height, bool bold)
    {
        return { "DejaVu Sans", height, bold ? juce::Font::bold : juce::Font::plain };
    }

    // Text goes through glyph paths so that a missing font fails loudly
    // instead of leaving a blank where a logo should be.
    juce::Path textPath (const juce::String& text, const juce::Font& font)
    {
        juce::GlyphArrangement glyphs;
        glyphs.addLineOfText (font, text, 0.0f, 0.0f);

        juce::Path path;
        glyphs.createPath (path);
        require (! path.getBounds().isEmpty(), "no glyphs drawn for \"" + text + "\": is fonts-dejavu-core installed?");
        return path;
    }

    float capHeightOf (const juce::Font& font)
    {
        return -textPath ("H", font).getBounds().getY();
    }

    void fillTextCentred (juce::Graphics& g, const juce::String& text, const juce::Font& font, juce::Point<float> centre)
    {
        const auto path = textPath (text, font);
        const auto bounds = path.getBounds();
        const auto baseline = centre.y + capHeightOf (font) * 0.5f;
        g.fillPath (path, juce::AffineTransform::translation (centre.x - bounds.getCentreX(), baseline));
    }

    void fillTextAt (juce::Graphics& g, const juce::String& text, const juce::Font& font, float left, float capCentreY)
    {
        const auto path = textPath (text, font);
        const auto baseline = capCentreY + capHeightOf (font) * 0.5f;
        g.fillPath (path, juce::AffineTransform::translation (left - path.getBounds().getX(), baseline));
    }

    juce::Colour panelColourAt (int row, int lastRow)
    {
        const auto proportion = (float) (row - panelTop) / (float) (lastRow - panelTop);
        return panelTopColour.interpolatedWith (panelBottomColour, proportion);
    }

    //==============================================================================
    // The QZ logotype: the Q is a jog wheel with a blue position marker for its
    // tail, the Z is cut from the same stroke. Built in a 44-unit-high box.
    struct Logotype
    {
        Logotype()
        {
            const juce::Point<float> qCentre { 22.0f, 22.0f };
            ring.addEllipse (0.0f, 0.0f, 44.0f, 44.0f);
            ring.addEllipse (stroke, stroke, 44.0f - 2.0f * stroke, 44.0f - 2.0f * stroke);
            ring.setUsingNonZeroWinding (false);

            const auto tailAngle = juce::MathConstants<float>::pi * 0.75f;
            const auto along = juce::AffineTransform::rotation (tailAngle - juce::MathConstants<float>::halfPi)
                                   .translated (qCentre);
            tail.addRoundedRectangle (9.0f, -3.3f, 19.5f, 6.6f, 3.3f);
            tail.applyTransform (along);
            tailGap.addRoundedRectangle (7.4f, -5.1f, 22.7f, 10.2f, 5.1f);
            tailGap.applyTransform (along);

            const auto left = 51.0f;
            const auto right = left + 36.0f;
            const auto slant = stroke * 1.3f;
            zed.addRectangle (left, 0.0f, right - left, stroke);
            zed.addRectangle (left, 44.0f - stroke, right - left, stroke);
            zed.startNewSubPath (right - slant, stroke);
            zed.lineTo (right, stroke);
            zed.lineTo (left + slant, 44.0f - stroke);
            zed.lineTo (left, 44.0f - stroke);
            zed.closeSubPath();
        }

        juce::Rectangle<float> getBounds() const
        {
            return ring.getBounds().getUnion (tail.getBounds()).getUnion (zed.getBounds());
        }

        void draw (juce::Graphics& g, juce::Rectangle<float> area, juce::Colour letters, juce::Colour marker) const
        {
            const auto transform = juce::RectanglePlacement (juce::RectanglePlacement::centred)
                                       .getTransformToFit (getBounds(), area);

            juce::Path outsideGap;
            outsideGap.addRectangle (area.expanded (area.getWidth()));
            outsideGap.addPath (tailGap, transform);
            outsideGap.setUsingNonZeroWinding (false);

            {
                juce::Graphics::ScopedSaveState state (g);
                g.reduceClipRegion (outsideGap);
                g.setColour (letters);
                g.fillPath (ring, transform);
            }

            g.setColour (letters);
            g.fillPath (zed, transform);
            g.setColour (marker);
            g.fillPath (tail, transform);
        }

        static constexpr float stroke = 7.0f;
        juce::Path ring, tail, tailGap, zed;
    };

    //==============================================================================
    void drawMakerLogo (juce::Graphics& g, juce::Point<float> markCentre)
    {
        const auto radius = 8.5f;
        const auto opening = 0.8f;
        const auto east = juce::MathConstants<float>::halfPi;

        juce::Path arc;
        arc.addCentredArc (markCentre.x, markCentre.y, radius, radius, 0.0f,
                           east + opening, east + juce::MathConstants<float>::twoPi - opening, true);

        g.setColour (letterColour);
        g.strokePath (arc, juce::PathStrokeType (2.6f, juce::PathStrokeType::curved, juce::PathStrokeType::rounded));
        g.setColour (ruleBlue);
        g.fillEllipse (juce::Rectangle<float> (5.4f, 5.4f).withCentre (markCentre));

        g.setColour (letterColour);
        fillTextAt (g, "CORVALE", sansFont (15.0f, false).withExtraKerningFactor (0.32f),
                    markCentre.x + radius + 9.0f, markCentre.y);
    }

    void drawProductLogo (juce::Graphics& g, juce::Rectangle<float> logotypeArea)
    {
        const Logotype logotype;
        const auto fitted = juce::RectanglePlacement (juce::RectanglePlacement::xLeft)
                                .appliedTo (logotype.getBounds(), logotypeArea);
        logotype.draw (g, fitted, letterColour, ruleBlue);

        g.setColour (juce::Colour (0xff8d949e));
        fillTextAt (g, "DJ CONTROLLER", sansFont (9.5f, true).withExtraKerningFactor (0.3f),
                    fitted.getX(), fitted.getBottom() + 14.0f);
    }

    //==============================================================================
    void drawKnob (juce::Graphics& g, juce::Point<float> centre, float radius, float angle)
    {
        const auto bounds = juce::Rectangle<float> (radius * 2.0f, radius * 2.0f).withCentre (centre);
        g.setColour (juce::Colour (0xff0f1114));
        g.fillEllipse (bounds.expanded (0.8f));
        g.setGradientFill ({ juce::Colour (0xff6b717b), centre.x - radius * 0.4f, centre.y - radius * 0.5f,
                             juce::Colour (0xff2b2e34), centre.x + radius * 0.6f, centre.y + radius * 0.8f, true });
        g.fillEllipse (bounds);

        const auto tip = centre.getPointOnCircumference (radius * 0.85f, angle);
        g.setColour (juce::Colours::white.withAlpha (0.85f));
        g.drawLine ({ centre.getPointOnCircumference (radius * 0.2f, angle), tip }, 1.1f);
    }

    void drawFaderSlot (juce::Graphics& g, juce::Line<float> slot, float capPosition, juce::Point<float> capSize)
    {
        g.setColour (juce::Colour (0xff0c0d10));
        g.drawLine (slot, 2.0f);

        const auto capCentre = slot.getPointAlongLineProportionally (capPosition);
        const auto cap = juce::Rectangle<float> (capSize.x, capSize.y).withCentre (capCentre);
        g.setColour (juce::Colours::black.withAlpha (0.45f));
        g.fillRoundedRectangle (cap.translated (0.0f, 1.0f).expanded (0.5f), 1.5f);
        g.setGradientFill ({ juce::Colour (0xffd3d7dc), 0.0f, cap.getY(),
                             juce::Colour (0xff8f959d), 0.0f, cap.getBottom(), false });
        g.fillRoundedRectangle (cap, 1.2f);

        g.setColour (juce::Colour (0xff2a2d33));
        if (capSize.x > capSize.y)
            g.fillRect (juce::Rectangle<float> (capSize.x - 2.0f, 0.8f).withCentre (capCentre));
        else
            g.fillRect (juce::Rectangle<float> (0.8f, capSize.y - 2.0f).withCentre (capCentre));
    }

    void drawRoundButton (juce::Graphics& g, juce::Point<float> centre, float radius, juce::Colour ringColour)
    {
        const auto bounds = juce::Rectangle<float> (radius * 2.0f, radius * 2.0f).withCentre (centre);
        g.setColour (juce::Colour (0xff0f1114));
        g.fillEllipse (bounds.expanded (0.8f));
        g.setGradientFill ({ juce::Colour (0xff4a4f57), 0.0f, bounds.getY(),
                             juce::Colour (0xff2a2d33), 0.0f, bounds.getBottom(), false });
        g.fillEllipse (bounds);
        g.setColour (ringColour);
        g.drawEllipse (bounds.reduced (0.6f), 1.0f);
    }

    void drawScreen (juce::Graphics& g, juce::Rectangle<float> area, float seed)
    {
        g.setColour (juce::Colour (0xff4a5059));
        g.fillRoundedRectangle (area.expanded (0.8f), 2.2f);
        g.setColour (juce::Colour (0xff07090c));
        g.fillRoundedRectangle (area, 1.6f);

        const auto wave = area.reduced (2.5f, 2.0f).withTrimmedBottom (3.0f);
        const auto middle = wave.getCentreY();

        for (auto x = wave.getX(); x < wave.getRight(); x += 1.0f)
        {
            const auto phase = (x - wave.getX()) + seed;
            const auto envelope = 0.55f + 0.45f * std::sin (phase * 0.23f + seed);
            const auto level = juce::jlimit (0.15f, 1.0f, envelope * (0.6f + 0.4f * std::abs (std::sin (phase * 1.37f))));
            const auto half = level * wave.getHeight() * 0.5f;
            g.setColour (ruleBlue.withAlpha (0.55f + 0.35f * level));
            g.fillRect (juce::Rectangle<float> (x, middle - half, 0.8f, half * 2.0f));
        }

        const auto playhead = wave.getX() + wave.getWidth() * 0.38f;
        g.setColour (juce::Colours::white.withAlpha (0.9f));
        g.fillRect (juce::Rectangle<float> (playhead, wave.getY() - 0.5f, 0.8f, wave.getHeight() + 1.0f));

        const auto progress = juce::Rectangle<float> (wave.getX(), area.getBottom() - 3.0f, wave.getWidth(), 1.0f);
        g.setColour (juce::Colours::white.withAlpha (0.18f));
        g.fillRect (progress);
        g.setColour (juce::Colours::white.withAlpha (0.7f));
        g.fillRect (progress.withWidth (progress.getWidth() * (0.3f + 0.1f * seed)));
    }

    void drawJogWheel (juce::Graphics& g, juce::Point<float> centre, float radius, float markerAngle)
    {
        auto circle = [centre] (float r) { return juce::Rectangle<float> (r * 2.0f, r * 2.0f).withCentre (centre); };

        g.setColour (juce::Colour (0xff0d0e11));
        g.fillEllipse (circle (radius + 1.5f));
        g.setColour (ruleBlue.withAlpha (0.9f));
        g.drawEllipse (circle (radius - 0.6f), 1.4f);

        g.setGradientFill ({ juce::Colour (0xff747a84), centre.x - radius * 0.35f, centre.y - radius * 0.45f,
                             juce::Colour (0xff272a30), centre.x + radius * 0.55f, centre.y + radius * 0.85f, true });
        g.fillEllipse (circle (radius - 2.4f));

        g.setColour (juce::Colours::black.withAlpha (0.16f));
        for (auto r = radius - 5.0f; r > radius * 0.45f; r -= 2.6f)
            g.drawEllipse (circle (r), 0.5f);

        g.setColour (juce::Colours::white.withAlpha (0.8f));
        g.drawLine ({ centre.getPointOnCircumference (radius * 0.56f, markerAngle),
                      centre.getPointOnCircumference (radius - 4.0f, markerAngle) }, 1.6f);

        g.setColour (juce::Colour (0xff16181c));
        g.fillEllipse (circle (radius * 0.36f));
        g.setColour (juce::Colours::white.withAlpha (0.14f));
        g.drawEllipse (circle (radius * 0.36f), 0.8f);
        g.setColour (ruleBlue.withAlpha (0.8f));
        g.fillEllipse (circle (1.4f));
    }

    void drawPad (juce::Graphics& g, juce::Rectangle<float> pad, float glow)
    {
        if (glow > 0.0f)
        {
            g.setColour (ruleBlue.withAlpha (0.22f * glow));
            g.fillRoundedRectangle (pad.expanded (1.2f), 3.0f);
            g.setGradientFill ({ ruleBlue.brighter (0.35f).withMultipliedAlpha (glow), 0.0f, pad.getY(),
                                 ruleBlue.darker (0.35f).withMultipliedAlpha (glow), 0.0f, pad.getBottom(), false });
        }
        else
        {
            g.setGradientFill ({ juce::Colour (0xff474c55), 0.0f, pad.getY(),
                                 juce::Colour (0xff33373e), 0.0f, pad.getBottom(), false });
        }

        g.fillRoundedRectangle (pad, 2.0f);
        g.setColour (juce::Colours::black.withAlpha (0.5f));
        g.drawRoundedRectangle (pad.expanded (0.5f), 2.4f, 0.8f);
    }

    void drawDeck (juce::Graphics& g, juce::Rectangle<float> deck, bool isLeft, float seed)
    {
        const auto outward = isLeft ? -1.0f : 1.0f;
        const auto jogCentre = juce::Point<float> (deck.getCentreX() - outward * 6.0f, deck.getY() + 46.0f);
        const auto jogRadius = 27.0f;

        drawScreen (g, juce::Rectangle<float> (58.0f, 13.0f).withCentre ({ jogCentre.x, deck.getY() + 8.5f }), seed);
        drawJogWheel (g, jogCentre, jogRadius, isLeft ? -0.9f : 2.1f);

        const auto pitchX = isLeft ? deck.getX() + 11.0f : deck.getRight() - 11.0f;
        drawFaderSlot (g, { pitchX, deck.getY() + 22.0f, pitchX, deck.getY() + 70.0f }, isLeft ? 0.5f : 0.42f, { 9.0f, 4.5f });

        const auto innerX = isLeft ? deck.getRight() - 8.0f : deck.getX() + 8.0f;
        drawRoundButton (g, { innerX, deck.getY() + 8.0f }, 3.2f, juce::Colours::white.withAlpha (0.25f));
        drawRoundButton (g, { innerX, deck.getY() + 56.0f }, 4.6f, juce::Colours::white.withAlpha (0.45f));
        drawRoundButton (g, { innerX, deck.getY() + 68.0f }, 4.6f, ruleBlue);

        const auto padArea = deck.withTrimmedTop (80.0f).reduced (6.0f, 0.0f).withHeight (23.0f);
        const auto padWidth = (padArea.getWidth() - 3.0f * 4.0f) / 4.0f;
        const float topRowGlow[] = { 1.0f, 0.55f, 0.8f, 0.4f };

        for (int column = 0; column < 4; ++column)
        {
            const auto x = padArea.getX() + (float) column * (padWidth + 4.0f);
            const auto glow = isLeft ? topRowGlow[column] : topRowGlow[3 - column] * 0.85f;
            drawPad (g, { x, padArea.getY(), padWidth, 10.0f }, glow);
            drawPad (g, { x, padArea.getY() + 13.0f, padWidth, 10.0f }, 0.0f);
        }
    }

    void drawMixer (juce::Graphics& g, juce::Rectangle<float> mixer)
    {
        g.setColour (juce::Colour (0xff1b1e22));
        g.fillRoundedRectangle (mixer, 4.0f);
        g.setColour (juce::Colours::white.withAlpha (0.06f));
        g.drawRoundedRectangle (mixer.reduced (0.5f), 4.0f, 1.0f);

        const float columns[] = { mixer.getX() + 11.5f, mixer.getRight() - 11.5f };
        const float knobAngles[] = { -0.6f, 0.3f, 0.0f, -0.3f, 0.5f, 0.0f };

        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 2; ++column)
                drawKnob (g, { columns[column], mixer.getY() + 10.0f + (float) row * 13.0f }, 4.6f,
                          knobAngles[row * 2 + column]);

        const auto faderTop = mixer.getY() + 50.0f;
        const auto faderBottom = mixer.getY() + 84.0f;
        drawFaderSlot (g, { columns[0], faderTop, columns[0], faderBottom }, 0.3f, { 9.0f, 4.5f });
        drawFaderSlot (g, { columns[1], faderTop, columns[1], faderBottom }, 0.45f, { 9.0f, 4.5f });

        const auto segments = 8;
        const auto segmentPitch = (faderBottom - faderTop) / (float) segments;

        for (int meter = 0; meter < 2; ++meter)
        {
            const auto x = mixer.getCentreX() - 2.6f + (float) meter * 3.4f;
            const auto lit = meter == 0 ? 5 : 4;

            for (int segment = 0; segment < segments; ++segment)
            {
                const auto y = faderBottom - (float) (segment + 1) * segmentPitch;
                const auto isLit = segment < lit;
                const auto colour = segment >= 6 ? juce::Colour (0xffffb347) : ruleBlue;
                g.setColour (isLit ? colour : colour.withAlpha (0.15f));
                g.fillRect (juce::Rectangle<float> (x, y + 0.6f, 1.8f, segmentPitch - 1.2f));
            }
        }

        const auto crossfaderY = mixer.getBottom() - 9.0f;
        drawFaderSlot (g, { mixer.getX() + 8.0f, crossfaderY, mixer.getRight() - 8.0f, crossfaderY }, 0.5f, { 4.5f, 9.0f });
    }

    void drawController (juce::Graphics& g, juce::Point<float> origin)
    {
        juce::Graphics::ScopedSaveState state (g);
        g.addTransform (juce::AffineTransform::translation (origin));

        const juce::Rectangle<float> body { 0.0f, 0.0f, 288.0f, 116.0f };

        juce::Path outline;
        outline.addRoundedRectangle (body, 9.0f);
        juce::DropShadow (juce::Colours::black.withAlpha (0.6f), 8, { 0, 2 }).drawForPath (g, outline);

        g.setGradientFill ({ juce::Colour (0xff4b5059), 0.0f, 0.0f, juce::Colour (0xff25282d), 0.0f, body.getBottom(), false });
        g.fillPath (outline);
        g.setGradientFill ({ juce::Colour (0xff33373e), 0.0f, 0.0f, juce::Colour (0xff23262b), 0.0f, body.getBottom(), false });
        g.fillRoundedRectangle (body.reduced (2.5f), 7.0f);
        g.setColour (juce::Colours::white.withAlpha (0.1f));
        g.drawRoundedRectangle (body.reduced (0.5f), 9.0f, 1.0f);

        drawDeck (g, { 8.0f, 6.0f, 108.0f, 104.0f }, true, 0.4f);
        drawMixer (g, { 122.0f, 6.0f, 44.0f, 104.0f });
        drawDeck (g, { 172.0f, 6.0f, 108.0f, 104.0f }, false, 2.3f);
    }

    //==============================================================================
    void drawHeaderBand (juce::Graphics& g)
    {
        g.setGradientFill ({ bandTop, 0.0f, 0.0f, bandBottom, 0.0f, (float) bandHeight, false });
        g.fillRect (0, 0, windowWidth, bandHeight);

        {
            juce::Graphics::ScopedSaveState state (g);
            g.reduceClipRegion (0, 0, windowWidth, bandHeight);
            g.setGradientFill ({ ruleBlue.withAlpha (0.13f), 340.0f, 70.0f, ruleBlue.withAlpha (0.0f), 340.0f, 250.0f, true });
            g.fillRect (0, 0, windowWidth, bandHeight);

            drawMakerLogo (g, { 29.0f, 26.0f });
            drawProductLogo (g, { 22.0f, 52.0f, 120.0f, 44.0f });
            drawController (g, { 196.0f, 11.0f });
        }

        // The rule's outer rows lean towards their neighbours so its edges read soft.
        g.setColour (ruleBlue.interpolatedWith (bandBottom, 0.35f));
        g.fillRect (0, ruleTop, windowWidth, 1);
        g.setColour (ruleBlue);
        g.fillRect (0, ruleCoreRow, windowWidth, 1);
        g.setColour (ruleBlue.interpolatedWith (panelTopColour, 0.35f));
        g.fillRect (0, ruleCoreRow + 1, windowWidth, 1);
    }

    void drawPanel (juce::Graphics& g, int height)
    {
        // Row by row, so that the first and last rows get exactly the panel's end colours.
        for (int row = panelTop; row < height; ++row)
        {
            g.setColour (panelColourAt (row, height - 1));
            g.fillRect (0, row, windowWidth, 1);
        }
    }

    void drawProgressTrack (juce::Graphics& g)
    {
        // Outlines on pixel centres so the 1-pixel edges land on whole rows and columns.
        const auto outline = progressTrack.toFloat().reduced (0.5f);
        g.setGradientFill ({ trackTop, 0.0f, outline.getY() + 1.0f, trackBottom, 0.0f, outline.getBottom() - 1.0f, false });
        g.fillRoundedRectangle (outline, 4.0f);
        g.setColour (trackOutline);
        g.drawRoundedRectangle (outline, 4.0f, 1.0f);
    }

    juce::Image drawBackground()
    {
        juce::Image image (juce::Image::RGB, windowWidth, backgroundHeight, true);
        juce::Graphics g (image);
        drawHeaderBand (g);
        drawPanel (g, backgroundHeight);
        drawProgressTrack (g);
        return image;
    }

    juce::Image drawAboutScreen()
    {
        juce::Image image (juce::Image::RGB, windowWidth, aboutHeight, true);
        juce::Graphics g (image);
        drawHeaderBand (g);
        drawPanel (g, aboutHeight);
        return image;
    }

    //==============================================================================
    struct ButtonLook
    {
        juce::Colour top, bottom, border;
        float highlight, captionDrop;
    };

    juce::Image drawButton (const ButtonLook& look)
    {
        juce::Image image (juce::Image::ARGB, 150, 30, true);
        juce::Graphics g (image);

        const auto shape = image.getBounds().toFloat().reduced (0.5f);
        const auto corner = 5.0f;

        g.setGradientFill ({ look.top, 0.0f, 0.0f, look.bottom, 0.0f, 30.0f, false });
        g.fillRoundedRectangle (shape, corner);
        g.setColour (juce::Colours::white.withAlpha (look.highlight));
        g.drawLine (corner, 1.5f, 150.0f - corner, 1.5f, 1.0f);
        g.setColour (look.border);
        g.drawRoundedRectangle (shape, corner, 1.0f);

        const auto font = sansFont (13.0f, true);
        const juce::Point<float> centre { 75.0f, 15.0f + look.captionDrop };
        g.setColour (juce::Colours::black.withAlpha (0.25f));
        fillTextCentred (g, "Update Firmware", font, centre.translated (0.0f, 1.0f));
        g.setColour (juce::Colours::white);
        fillTextCentred (g, "Update Firmware", font, centre);
        return image;
    }

    juce::Image drawLamp (juce::Colour rim, juce::Colour body, juce::Colour glow)
    {
        juce::Image image (juce::Image::ARGB, 12, 12, true);
        juce::Graphics g (image);

        const juce::Point<float> centre { 6.0f, 6.0f };
        g.setColour (rim);
        g.fillEllipse (juce::Rectangle<float> (10.6f, 10.6f).withCentre (centre));
        g.setGradientFill ({ glow, 5.2f, 4.6f, body, 5.2f + 4.6f, 4.6f, true });
        g.fillEllipse (juce::Rectangle<float> (8.8f, 8.8f).withCentre (centre));
        g.setGradientFill ({ juce::Colours::white.withAlpha (0.9f), 4.6f, 3.4f,
                             juce::Colours::white.withAlpha (0.0f), 4.6f + 2.2f, 3.4f, true });
        g.fillEllipse (juce::Rectangle<float> (4.4f, 3.2f).withCentre ({ 4.6f, 3.6f }));
        return image;
    }

    juce::Image drawIcon()
    {
        juce::Image image (juce::Image::ARGB, 1024, 1024, true);
        juce::Graphics g (image);

        const juce::Rectangle<float> tile { 64.0f, 64.0f, 896.0f, 896.0f };
        const auto corner = 196.0f;

        juce::Path shape;
        shape.addRoundedRectangle (tile, corner);

        g.setGradientFill ({ juce::Colour (0xff343941), 0.0f, tile.getY(), juce::Colour (0xff121417), 0.0f, tile.getBottom(), false });
        g.fillPath (shape);

        {
            juce::Graphics::ScopedSaveState state (g);
            g.reduceClipRegion (shape);
            g.setGradientFill ({ ruleBlue.withAlpha (0.2f), 512.0f, 470.0f, ruleBlue.withAlpha (0.0f), 512.0f, 930.0f, true });
            g.fillPath (shape);

            g.setColour (ruleBlue);
            g.fillRect (tile.withTop (752.0f).withHeight (14.0f));
            g.setColour (ruleBlue.withAlpha (0.35f));
            g.fillRect (tile.withTop (766.0f).withHeight (4.0f));
        }

        g.setColour (juce::Colours::white.withAlpha (0.12f));
        g.drawRoundedRectangle (tile.reduced (3.0f), corner - 3.0f, 6.0f);

        Logotype().draw (g, { 212.0f, 253.0f, 600.0f, 330.0f }, letterColour, ruleBlue);
        return image;
    }

    //==============================================================================
    bool isOpaqueEverywhere (const juce::Image& image)
    {
        if (! image.hasAlphaChannel())
            return true;

        for (int y = 0; y < image.getHeight(); ++y)
            for (int x = 0; x < image.getWidth(); ++x)
                if (image.getPixelAt (x, y).getAlpha() != 0xff)
                    return false;

        return true;
    }

    bool rowIs (const juce::Image& image, int row, juce::Colour colour, int fromX, int toX)
    {
        for (int x = fromX; x <= toX; ++x)
            if (image.getPixelAt (x, row) != colour)
                return false;

        return true;
    }

    bool columnIs (const juce::Image& image, int column, juce::Colour colour, int fromY, int toY)
    {
        for (int y = fromY; y <= toY; ++y)
            if (image.getPixelAt (column, y) != colour)
                return false;

        return true;
    }

    bool cornersAreClear (const juce::Image& image)
    {
        const auto right = image.getWidth() - 1;
        const auto bottom = image.getHeight() - 1;
        return image.getPixelAt (0, 0).getAlpha() == 0 && image.getPixelAt (right, 0).getAlpha() == 0
            && image.getPixelAt (0, bottom).getAlpha() == 0 && image.getPixelAt (right, bottom).getAlpha() == 0;
    }

    bool rowsMatch (const juce::Image& a, const juce::Image& b, int fromRow, int toRow)
    {
        for (int y = fromRow; y <= toRow; ++y)
            for (int x = 0; x < a.getWidth(); ++x)
                if (a.getPixelAt (x, y) != b.getPixelAt (x, y))
                    return false;

        return true;
    }

    // PNG stores straight alpha and JUCE premultiplied, so translucent edge
    // pixels may come back a level or two off; opaque ones must not move.
    bool readsBackAs (const juce::Image& readBack, const juce::Image& original)
    {
        for (int y = 0; y < original.getHeight(); ++y)
        {
            for (int x = 0; x < original.getWidth(); ++x)
            {
                const auto a = readBack.getPixelAt (x, y).getPixelARGB();
                const auto b = original.getPixelAt (x, y).getPixelARGB();
                const auto tolerance = b.getAlpha() == 0xff ? 0 : 2;

                if (a.getAlpha() != b.getAlpha()
                     || std::abs (a.getRed() - b.getRed()) > tolerance
                     || std::abs (a.getGreen() - b.getGreen()) > tolerance
                     || std::abs (a.getBlue() - b.getBlue()) > tolerance)
                    return false;
            }
        }

        return true;
    }

    void checkWindowPicture (const juce::Image& image, int height, const juce::String& name)
    {
        const auto lastX = windowWidth - 1;
        require (image.getWidth() == windowWidth && image.getHeight() == height, name + " has the wrong size");
        require (isOpaqueEverywhere (image), name + " is not opaque");
        require (rowIs (image, ruleCoreRow, ruleBlue, 0, lastX), name + ": the rule's core row is not 0xff00afec");
        require (rowIs (image, panelTop, panelTopColour, 0, lastX), name + ": the panel does not start at 0xffefefef");
        require (rowIs (image, height - 1, panelBottomColour, 0, lastX), name + ": the panel does not end at 0xffdddddd");
    }

    void checkProgressTrack (const juce::Image& image)
    {
        const auto left = progressTrack.getX();
        const auto right = progressTrack.getRight() - 1;
        const auto top = progressTrack.getY();
        const auto bottom = progressTrack.getBottom() - 1;
        const auto straight = 5;

        require (rowIs (image, top, trackOutline, left + straight, right - straight)
                  && rowIs (image, bottom, trackOutline, left + straight, right - straight)
                  && columnIs (image, left, trackOutline, top + straight, bottom - straight)
                  && columnIs (image, right, trackOutline, top + straight, bottom - straight),
                 "the progress track's outline is not 0xff9f9f9f");

        const auto middle = progressTrack.getCentreX();
        require (image.getPixelAt (middle, top + 1).getRed() < image.getPixelAt (middle, bottom - 1).getRed(),
                 "the progress track does not shade darker at the top");
        require (image.getPixelAt (left - 1, top + straight) == panelColourAt (top + straight, backgroundHeight - 1)
                  && image.getPixelAt (right + 1, top + straight) == panelColourAt (top + straight, backgroundHeight - 1),
                 "the progress track spills outside its outline");
    }

    void checkSize (const juce::Image& image, int width, int height, const juce::String& name)
    {
        require (image.getWidth() == width && image.getHeight() == height, name + " has the wrong size");
    }

    void writePng (const juce::Image& image, const juce::File& file)
    {
        // FileOutputStream appends to an existing file, so the old picture goes first.
        require (! file.exists() || file.deleteFile(), "cannot replace " + file.getFullPathName());

        {
            juce::FileOutputStream stream (file);
            require (stream.openedOk(), "cannot write " + file.getFullPathName());
            require (juce::PNGImageFormat().writeImageToStream (image, stream), "cannot encode " + file.getFullPathName());
        }

        const auto readBack = juce::ImageFileFormat::loadFrom (file);
        require (readBack.isValid() && readBack.getBounds() == image.getBounds(), file.getFullPathName() + " does not read back");
        require (readsBackAs (readBack, image), file.getFullPathName() + " reads back different pixels");
    }

    void writeArtwork (const juce::File& folder)
    {
        require (folder.createDirectory(), "cannot create " + folder.getFullPathName());

        const auto background = drawBackground();
        checkWindowPicture (background, backgroundHeight, "the background");
        checkProgressTrack (background);

        const auto about = drawAboutScreen();
        checkWindowPicture (about, aboutHeight, "the about screen");
        require (rowsMatch (background, about, 0, panelTop - 1), "the about screen's header differs from the background's");

        const auto normal = drawButton ({ juce::Colour (0xff8b9199), juce::Colour (0xff71777f), juce::Colour (0xff5a5f66), 0.22f, 0.0f });
        const auto hover = drawButton ({ juce::Colour (0xffa2a8b0), juce::Colour (0xff878d95), juce::Colour (0xff6a6f76), 0.28f, 0.0f });
        const auto press = drawButton ({ juce::Colour (0xff595e65), juce::Colour (0xff686d74), juce::Colour (0xff45494f), 0.0f, 1.0f });

        const auto withHardware = drawLamp (juce::Colour (0xff1d5e22), juce::Colour (0xff2fa83a), juce::Colour (0xffa4f58e));
        const auto noHardware = drawLamp (juce::Colour (0xff6b1616), juce::Colour (0xffd42a2a), juce::Colour (0xffffa090));

        const auto icon = drawIcon();

        for (auto* button : { &normal, &hover, &press })
        {
            checkSize (*button, 150, 30, "a button");
            require (cornersAreClear (*button), "a button is not clear outside its shape");
        }

        require (normal.getPixelAt (75, 4).getBrightness() < hover.getPixelAt (75, 4).getBrightness()
                  && press.getPixelAt (75, 4).getBrightness() < normal.getPixelAt (75, 4).getBrightness(),
                 "the buttons' greys are not ordered press < normal < hover");

        for (auto* lamp : { &withHardware, &noHardware })
        {
            checkSize (*lamp, 12, 12, "a lamp");
            require (cornersAreClear (*lamp), "a lamp is not clear outside its circle");
        }

        require (withHardware.getPixelAt (6, 7).getGreen() > withHardware.getPixelAt (6, 7).getRed()
                  && noHardware.getPixelAt (6, 7).getRed() > noHardware.getPixelAt (6, 7).getGreen(),
                 "the lamps' colours are swapped");

        checkSize (icon, 1024, 1024, "the icon");
        require (cornersAreClear (icon), "the icon is not clear outside its shape");

        const std::pair<const char*, const juce::Image*> pictures[] {
            { "QZ_DriverUpdateUtility_Background.png", &background },
            { "QZ_DriverUpdateUtility_AboutScreen.png", &about },
            { "QZ_DriverUpdateUtility_Button_Normal.png", &normal },
            { "QZ_DriverUpdateUtility_Button_Hover.png", &hover },
            { "QZ_DriverUpdateUtility_Button_Press.png", &press },
            { "QZ_DriverUpdateUtility_LED_WithHardware.png", &withHardware },
            { "QZ_DriverUpdateUtility_LED_NoHardware.png", &noHardware },
            { "QZ_DriverUpdater_Icon.png", &icon },
        };

        for (const auto& [name, image] : pictures)
        {
            const auto file = folder.getChildFile (name);
            writePng (*image, file);
            std::cout << "wrote " << file.getFullPathName() << std::endl;
        }
    }
}

int main (int argc, char* argv[])
{
    if (argc != 2)
    {
        std::cerr << "usage: qz_artwork <output folder>" << std::endl;
        return 2;
    }

    juce::ScopedJuceInitialiser_GUI juceInitialiser;

    try
    {
        writeArtwork (juce::File::getCurrentWorkingDirectory().getChildFile (argv[1]));
    }
    catch (const ArtworkError& error)
    {
        std::cerr << "qz_artwork: " << error.what() << std::endl;
        return 1;
    }

    return 0;
}
