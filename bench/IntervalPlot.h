#pragma once

#include <juce_graphics/juce_graphics.h>
#include <vector>

/** Histograms of intervals between chunks, one panel per port (or per timer), panels in
    columns, counts on a log scale shared by every panel so that they compare at a glance.
    Drawn with JUCE's software renderer and written as a PNG.
*/
class IntervalPlot
{
public:
    IntervalPlot (const juce::String& titleToShow, int numColumns);

    /** Adds a panel at the bottom of a column; the intervals are copied. */
    void addPanel (int column, const juce::String& panelTitle, const std::vector<double>& intervalsMs);

    juce::Image render() const;
    bool writePng (const juce::File& file) const;

private:
    struct Panel
    {
        int column;
        juce::String title;
        std::vector<int> bins;   // binMs wide from 0; the last holds everything longer
        int closeCount;
        int total;
    };

    void drawPanel (juce::Graphics& g, const Panel& panel, juce::Rectangle<float> area, double logTop) const;

    const juce::String title;
    const int columns;
    std::vector<Panel> panels;
};
