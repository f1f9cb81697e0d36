#include "WindowStandIn.h"

namespace
{
    constexpr int completionMessage = 0, abortMessage = 1;
}

WindowStandIn::WindowStandIn (Controller& controllerToUse, Watcher watcherToUse)
    : controller (controllerToUse), watcher (std::move (watcherToUse))
{
}

void WindowStandIn::tell (Event event, int index, int value, double progress, const juce::String& text)
{
    watcher ({ event, index, value, progress, text });
}

void WindowStandIn::availableVersionChanged (int, const juce::String&)
{
}

void WindowStandIn::currentVersionChanged (int processor, const juce::String& version)
{
    if (juce::isPositiveAndBelow (processor, 3))
        versions[processor] = version;

    tell (Event::version, processor, 0, 0.0, version);
}

void WindowStandIn::devicePresenceChanged (bool isPresent)
{
    lamp = isPresent;
    tell (Event::presence, 0, isPresent ? 1 : 0);
}

void WindowStandIn::progressChanged (const double& progress)
{
    tell (Event::progress, 0, 0, progress);

    // Every report of exactly 1.0 opens a message of its own: the component keeps no guard.
    if (progress == 1.0)
    {
        messages.push_back (completionMessage);
        tell (Event::messageShown, completionMessage);
    }
}

void WindowStandIn::updateRunningChanged (bool isRunning)
{
    buttonEnabled = ! isRunning;
    tell (Event::running, 0, isRunning ? 1 : 0);
}

void WindowStandIn::imageStatusChanged (int imageSlot, int status)
{
    tell (Event::status, imageSlot, status);

    if (status == Controller::aborted && ! alertShowing)
    {
        alertShowing = true;
        messages.push_back (abortMessage);
        tell (Event::messageShown, abortMessage);
    }
}

void WindowStandIn::currentVersionsCleared()
{
    for (auto& version : versions)
        version = {};

    tell (Event::versionsCleared);
}

void WindowStandIn::portProblemChanged (int processor, Controller::PortProblem problem)
{
    tell (Event::portProblem, processor, (int) problem);
}

void WindowStandIn::updatedVersionChecked (int processor, const juce::String& version, bool isCarriedVersion)
{
    tell (Event::checked, processor, isCarriedVersion ? 1 : 0, 0.0, version);
}

bool WindowStandIn::clickUpdate (bool alternativeModeArmed)
{
    if (! buttonEnabled || instructionsShowing || ! messages.empty() || quitQuestionShowing)
        return false;

    controller.setAwaitingIdentity (false);
    instructionsShowing = true;
    armedForThisClick = alternativeModeArmed;
    tell (Event::instructionsShown, armedForThisClick ? 1 : 0);
    return true;
}

bool WindowStandIn::answerInstructions (bool ok)
{
    if (! instructionsShowing)
        return false;

    instructionsShowing = false;

    if (ok)
    {
        tell (Event::updateStarting, armedForThisClick ? 1 : 0);
        controller.startUpdate (armedForThisClick);
        tell (Event::updateStarted, armedForThisClick ? 1 : 0);
    }
    else
    {
        controller.resetUpdate();
        tell (Event::cancelled);
    }

    armedForThisClick = false;
    return true;
}

bool WindowStandIn::dismissMessage()
{
    if (messages.empty())
        return false;

    const auto message = messages.front();
    messages.pop_front();
    controller.resetUpdate();
    alertShowing = false;
    tell (Event::messageDismissed, message);
    return true;
}

bool WindowStandIn::requestQuit()
{
    if (instructionsShowing)
    {
        answerInstructions (false);
        return true;
    }

    if (! controller.isUpdating())
        return true;

    if (! quitQuestionShowing)
    {
        quitQuestionShowing = true;
        tell (Event::quitAsked);
    }

    return false;
}

bool WindowStandIn::answerQuitQuestion (bool ok)
{
    if (! quitQuestionShowing)
        return false;

    quitQuestionShowing = false;

    if (! ok)
        tell (Event::quitCancelled);

    return ok;
}

bool WindowStandIn::isIdle() const
{
    return buttonEnabled && ! instructionsShowing && messages.empty() && ! quitQuestionShowing;
}

juce::String WindowStandIn::shownVersion (int processor) const
{
    return juce::isPositiveAndBelow (processor, 3) ? versions[processor] : juce::String();
}
