#include "WinMmMidiOutput.h"

WinMmMidiOutput::WinMmMidiOutput (const WinMmCalls& callsToUse, std::unique_ptr<WinMmLongMessageQueue> messages,
                                  const juce::String& outputName, WinMmOutputCloser& closerToUse)
    : calls (callsToUse), handle (messages->getHandle()), name (outputName), closer (closerToUse),
      longMessages (std::move (messages))
{
}

WinMmMidiOutput::~WinMmMidiOutput()
{
    closer.close (std::move (longMessages), failed);
}

juce::String WinMmMidiOutput::getName() const
{
    return name;
}

WinMmMidiOutput::SendResult WinMmMidiOutput::send (const juce::uint8* data, int numBytes)
{
    if (getPendingBytes() < 0)
        return SendResult::failed;

    if (numBytes <= 0)
        return SendResult::taken;

    return isSingleShortMessage (data, numBytes) ? sendShort (data, numBytes)
                                                 : sendLong (data, numBytes);
}

int WinMmMidiOutput::getPendingBytes()
{
    failed = failed || ! longMessages->collectReturned();
    return failed ? -1 : longMessages->getBytesOut();
}

bool WinMmMidiOutput::isSingleShortMessage (const juce::uint8* data, int numBytes)
{
    if (numBytes < 1 || numBytes > 3)
        return false;

    const auto status = data[0];

    // SysEx start and end, and the undefined system statuses, are never short messages.
    if (status < 0x80 || status == 0xf0 || status == 0xf7
         || status == 0xf4 || status == 0xf5 || status == 0xf9 || status == 0xfd)
        return false;

    if (juce::MidiMessage::getMessageLengthFromFirstByte (status) != numBytes)
        return false;

    for (int i = 1; i < numBytes; ++i)
        if (data[i] >= 0x80)
            return false;

    return true;
}

WinMmMidiOutput::SendResult WinMmMidiOutput::sendShort (const juce::uint8* data, int numBytes)
{
    if (longMessages->getNumOut() > 0)
        return SendResult::busy;

    juce::uint32 packed = 0;

    for (int i = numBytes; --i >= 0;)
        packed = (packed << 8) | data[i];

    return answer (calls.shortMessage (handle, packed));
}

WinMmMidiOutput::SendResult WinMmMidiOutput::sendLong (const juce::uint8* data, int numBytes)
{
    if (longMessages->getNumOut() >= maxLongMessagesOut)
        return SendResult::busy;

    return answer (longMessages->add (data, numBytes));
}

WinMmMidiOutput::SendResult WinMmMidiOutput::answer (WinMmCalls::Result result)
{
    if (result == WinMmCalls::noError)
        return SendResult::taken;

    if (result == WinMmCalls::notReady)
        return SendResult::busy;

    failed = true;
    return SendResult::failed;
}
