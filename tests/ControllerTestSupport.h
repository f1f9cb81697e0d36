#pragma once

#include "TestHelpers.h"
#include "control/Controller.h"
#include "emulator/EmulatedQzDevice.h"

/** Records what a controller tells its listener. Statuses, running changes, versions, port
    problems and the progress values 0.0 and 1.0 go into one ordered log; every progress value also into its own list;
    presence reports are only counted, since they arrive on every poll.
*/
struct ControllerLog : Controller::Listener
{
    void availableVersionChanged (int processor, const juce::String& version) override
    {
        add ("available " + juce::String (processor) + " " + version);
    }

    void currentVersionChanged (int processor, const juce::String& version) override
    {
        add ("current " + juce::String (processor) + " " + version);
    }

    void devicePresenceChanged (bool isPresent) override
    {
        const juce::ScopedLock sl (lock);
        ++presenceReports;
        lastPresence = isPresent;
    }

    void progressChanged (const double& value) override
    {
        const juce::ScopedLock sl (lock);
        progress.push_back (value);

        if (value == 0.0 || value == 1.0)
            log.add ("progress " + juce::String (value, 1));
    }

    void updateRunningChanged (bool isRunning) override
    {
        add (isRunning ? "running" : "not running");
    }

    void imageStatusChanged (int imageSlot, int status) override
    {
        add ("status " + juce::String (imageSlot) + " " + juce::String (status));
    }

    void currentVersionsCleared() override
    {
        add ("cleared");
    }

    void portProblemChanged (int processor, Controller::PortProblem problem) override
    {
        add ("problem " + juce::String (processor) + " " + juce::String ((int) problem));
    }

    void updatedVersionChecked (int processor, const juce::String& version, bool isCarriedVersion) override
    {
        add ("checked " + juce::String (processor) + " " + version + (isCarriedVersion ? " carried" : " old"));
    }

    void add (const juce::String& entry)
    {
        const juce::ScopedLock sl (lock);
        log.add (entry);
    }

    juce::StringArray entries() const
    {
        const juce::ScopedLock sl (lock);
        return log;
    }

    juce::StringArray entriesStartingWith (const juce::String& prefix) const
    {
        juce::StringArray matching;

        for (auto& entry : entries())
            if (entry.startsWith (prefix))
                matching.add (entry);

        return matching;
    }

    std::vector<double> progressValues() const
    {
        const juce::ScopedLock sl (lock);
        return progress;
    }

    /** True once any image has been reported aborted. */
    bool sawAbort() const
    {
        for (auto& entry : entries())
            if (entry.startsWith ("status") && entry.endsWith (" " + juce::String ((int) Controller::aborted)))
                return true;

        return false;
    }

    int numCompletions() const
    {
        auto values = progressValues();
        return (int) std::count (values.begin(), values.end(), 1.0);
    }

    void clear()
    {
        const juce::ScopedLock sl (lock);
        log.clear();
        progress.clear();
        presenceReports = 0;
    }

    juce::CriticalSection lock;
    juce::StringArray log;
    std::vector<double> progress;
    int presenceReports = 0;
    bool lastPresence = false;
};

/** The firmware a catalogue carries, joined per processor in the order the updater sends it. */
inline std::vector<juce::uint8> expectedStreamFor (const FirmwareCatalogue& catalogue, const juce::String& portName,
                                                   bool skipAssets)
{
    std::vector<juce::uint8> bytes;

    // The application image goes before the assets on each port.
    for (bool assets : { false, true })
    {
        for (auto* image : catalogue)
        {
            if (image->getPortName() != portName || image->getName().contains ("Assets") != assets)
                continue;

            if (assets && skipAssets)
                continue;

            auto* data = static_cast<const juce::uint8*> (image->data.getData());
            bytes.insert (bytes.end(), data, data + image->data.getSize());
        }
    }

    return bytes;
}
