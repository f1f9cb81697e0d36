#include "IntervalPlot.h"

#include <algorithm>
#include <cmath>

namespace
{
    constexpr double binMs = 0.1;
    constexpr double rangeMs = 10.0;
    constexpr double closeMs = 3.0;
    constexpr double paceMs = 4.0;
    constexpr int numBins = (int) (rangeMs / binMs) + 1;

    constexpr int panelWidth = 620, panelHeight = 200, margin = 16, titleHeight = 40;

    const juce::Colour background (0xfffafafa), ink (0xff202020), grid (0xffdddddd), bar (0xff3a6ea5),
                       closeBar (0xffc0392b), paceLine (0xff27ae60);
}

IntervalPlot::IntervalPlot (const juce::String& titleToShow, int numColumns)
    : title (titleToShow), columns (juce::jmax (1, numColumns))
{
}

void IntervalPlot::addPanel (int column, const juce::String& panelTitle, const std::vector<double>& intervalsMs)
{
    Panel panel { column, panelTitle, std::vector<int> ((size_t) numBins, 0), 0, (int) intervalsMs.size() };

    for (auto interval : intervalsMs)
    {
        panel.bins[(size_t) juce::jlimit (0, numBins - 1, (int) (interval / binMs))]++;

        if (interval < closeMs)
            ++panel.closeCount;
    }

    panels.push_back (std::move (panel));
}

juce::Image IntervalPlot::render() const
{
    int rows = 0;

    for (int column = 0; column < columns; ++column)
        rows = juce::jmax (rows, (int) std::count_if (panels.begin(), panels.end(),
                                                      [column] (const Panel& p) { return p.column == column; }));

    const auto width = columns * (panelWidth + margin) + margin;
    const auto height = titleHeight + rows * (panelHeight + margin) + margin;

    juce::Image image (juce::Image::RGB, width, height, true);
    juce::Graphics g (image);
    g.fillAll (background);
    g.setColour (ink);
    g.setFont (18.0f);
    g.drawText (title, margin, 8, width - 2 * margin, titleHeight - 12, juce::Justification::centredLeft);

    int largest = 1;

    for (auto& panel : panels)
        largest = juce::jmax (largest, *std::max_element (panel.bins.begin(), panel.bins.end()));

    const auto logTop = juce::jmax (1.0, std::ceil (std::log10 ((double) largest)));
    std::vector<int> nextRow ((size_t) columns, 0);

    for (auto& panel : panels)
    {
        const auto row = nextRow[(size_t) panel.column]++;
        const juce::Rectangle<float> area ((float) (margin + panel.column * (panelWidth + margin)),
                                           (float) (titleHeight + row * (panelHeight + margin)),
                                           (float) panelWidth, (float) panelHeight);
        drawPanel (g, panel, area, logTop);
    }

    return image;
}

void IntervalPlot::drawPanel (juce::Graphics& g, const Panel& panel, juce::Rectangle<float> area, double logTop) const
{
    g.setColour (juce::Colours::white);
    g.fillRect (area);
    g.setColour (grid);
    g.drawRect (area);

    auto inner = area.reduced (8.0f);
    auto header = inner.removeFromTop (18.0f);
    inner.removeFromTop (8.0f);
    auto axis = inner.removeFromBottom (16.0f);
    auto labels = inner.removeFromLeft (44.0f);
    axis.removeFromLeft (44.0f);

    g.setColour (ink);
    g.setFont (13.0f);
    g.drawText (panel.title + "   (" + juce::String (panel.total) + " intervals, " + juce::String (panel.closeCount)
                    + " under 3 ms)",
                header, juce::Justification::centredLeft);

    const auto yFor = [&] (double count)
    {
        const auto fraction = std::log10 (juce::jmax (1.0, count)) / logTop;
        return inner.getBottom() - (float) fraction * inner.getHeight();
    };

    const auto xFor = [&] (double ms) { return inner.getX() + (float) (ms / (binMs * numBins)) * inner.getWidth(); };

    g.setFont (11.0f);

    for (int decade = 0; decade <= (int) logTop; ++decade)
    {
        const auto count = std::pow (10.0, decade);
        const auto y = yFor (count);
        g.setColour (grid);
        g.drawHorizontalLine ((int) y, inner.getX(), inner.getRight());
        g.setColour (ink);
        g.drawText (juce::String ((juce::int64) count), labels.withY (y - 7.0f).withHeight (14.0f).reduced (2.0f, 0.0f),
                    juce::Justification::centredRight);
    }

    for (int ms = 0; ms <= (int) rangeMs; ++ms)
    {
        const auto x = xFor (ms);
        g.setColour (ink);
        g.drawText (ms == (int) rangeMs ? ">10 ms" : juce::String (ms), juce::Rectangle<float> (x - 20.0f, axis.getY(), 40.0f, axis.getHeight()),
                    juce::Justification::centred);
    }

    const auto binWidth = inner.getWidth() / (float) numBins;

    for (int bin = 0; bin < numBins; ++bin)
    {
        const auto count = panel.bins[(size_t) bin];

        if (count == 0)
            continue;

        // A single interval still shows as a sliver above the axis.
        const auto top = juce::jmin (yFor (count), inner.getBottom() - 2.0f);
        g.setColour (bin * binMs < closeMs ? closeBar : bar);
        g.fillRect (juce::Rectangle<float> (xFor (bin * binMs), top, juce::jmax (1.0f, binWidth - 1.0f), inner.getBottom() - top));
    }

    g.setColour (paceLine);
    g.drawVerticalLine ((int) xFor (paceMs), inner.getY(), inner.getBottom());
    g.setColour (closeBar.withAlpha (0.6f));
    g.drawVerticalLine ((int) xFor (closeMs), inner.getY(), inner.getBottom());
}

bool IntervalPlot::writePng (const juce::File& file) const
{
    file.deleteFile();
    juce::FileOutputStream stream (file);

    if (! stream.openedOk())
        return false;

    juce::PNGImageFormat png;
    return png.writeImageToStream (render(), stream);
}
