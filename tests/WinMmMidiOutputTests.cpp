#include <gtest/gtest.h>
#include <midi/windows/WinMmMidiOutput.h>

namespace
{
    using Bytes = std::vector<juce::uint8>;

    /** WinMM as a driver that records what it is handed; a test decides when, if ever, it
        hands a long message back, and what it answers. The clock moves only by sleeping.
    */
    struct FakeWinMm
    {
        struct Call
        {
            juce::String kind;
            Bytes bytes;
        };

        // How many milliseconds after midiOutLongMsg the driver hands the header back;
        // negative: only on a reset; never: not even then.
        int returnAfterMs = 0;
        bool returnsOnReset = true;
        WinMmMidiOutput::Result longResult = WinMmMidiOutput::noError;
        WinMmMidiOutput::Result prepareResult = WinMmMidiOutput::noError;
        std::vector<WinMmMidiOutput::Result> shortResults;

        std::vector<Call> calls;
        std::vector<WinMmMidiOutput::Header*> queued;
        int unpreparedWhileHeld = 0;
        int closes = 0;
        double now = 0.0;
        double queuedAt = 0.0;

        static inline FakeWinMm* current = nullptr;

        FakeWinMm()  { current = this; }
        ~FakeWinMm() { current = nullptr; }

        const WinMmMidiOutput::Functions& functions() const
        {
            static const WinMmMidiOutput::Functions table {
                [] (WinMmMidiOutput::Handle, juce::uint32 message)
                {
                    auto& fake = *current;
                    fake.calls.push_back ({ "short", { (juce::uint8) message, (juce::uint8) (message >> 8), (juce::uint8) (message >> 16) } });

                    if (fake.shortResults.empty())
                        return WinMmMidiOutput::noError;

                    auto result = fake.shortResults.front();
                    fake.shortResults.erase (fake.shortResults.begin());
                    return result;
                },
                [] (WinMmMidiOutput::Handle, WinMmMidiOutput::Header* header)
                {
                    current->calls.push_back ({ "prepare", {} });
                    header->flags = 0;
                    return current->prepareResult;
                },
                [] (WinMmMidiOutput::Handle, WinMmMidiOutput::Header* header)
                {
                    auto& fake = *current;
                    fake.calls.push_back ({ "long", Bytes (header->data, header->data + header->bufferLength) });

                    if (fake.longResult != WinMmMidiOutput::noError)
                        return fake.longResult;

                    fake.queued.push_back (header);
                    fake.queuedAt = fake.now;
                    fake.progress();
                    return WinMmMidiOutput::noError;
                },
                [] (WinMmMidiOutput::Handle, WinMmMidiOutput::Header* header)
                {
                    auto& fake = *current;
                    fake.calls.push_back ({ "unprepare", {} });

                    if (std::find (fake.queued.begin(), fake.queued.end(), header) != fake.queued.end())
                        ++fake.unpreparedWhileHeld;

                    return WinMmMidiOutput::noError;
                },
                [] (WinMmMidiOutput::Handle)
                {
                    auto& fake = *current;
                    fake.calls.push_back ({ "reset", {} });

                    if (fake.returnsOnReset)
                        fake.handBack();

                    return WinMmMidiOutput::noError;
                },
                [] (WinMmMidiOutput::Handle)
                {
                    ++current->closes;
                    return WinMmMidiOutput::noError;
                },
                [] { return current->now; },
                [] (int milliseconds)
                {
                    current->now += milliseconds;
                    current->progress();
                }
            };

            return table;
        }

        void progress()
        {
            if (returnAfterMs >= 0 && now - queuedAt >= returnAfterMs)
                handBack();
        }

        void handBack()
        {
            for (auto* header : queued)
                header->flags |= WinMmMidiOutput::headerDone;

            queued.clear();
        }

        juce::StringArray kinds() const
        {
            juce::StringArray result;

            for (auto& call : calls)
                result.add (call.kind);

            return result;
        }
    };

    bool send (WinMmMidiOutput& output, const Bytes& bytes)
    {
        return output.sendNow (bytes.data(), (int) bytes.size());
    }

    const auto handle = reinterpret_cast<WinMmMidiOutput::Handle> (std::uintptr_t { 0x51 });
}

TEST (WinMmMidiOutput, SendsExactlyOneCompleteShortMessageAsAShortMessage)
{
    for (const auto& message : { Bytes { 0x90, 0x40, 0x7f }, Bytes { 0xc0, 0x05 }, Bytes { 0xf8 }, Bytes { 0xf2, 0x01, 0x02 } })
    {
        FakeWinMm winMm;
        WinMmMidiOutput output (winMm.functions(), handle, "QZ Audio");

        EXPECT_TRUE (send (output, message));
        ASSERT_EQ (winMm.calls.size(), 1u);
        EXPECT_EQ (winMm.calls[0].kind, "short");
        EXPECT_EQ (Bytes (winMm.calls[0].bytes.begin(), winMm.calls[0].bytes.begin() + (long) message.size()), message);
    }
}

TEST (WinMmMidiOutput, SendsEveryOtherPieceAsALongMessageByteForByte)
{
    Bytes chunk (512);

    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = (juce::uint8) (i * 7 + 3) & 0x7f;

    chunk[0] = 0xf0;

    const std::vector<Bytes> pieces {
        { 0x12, 0xf7 },                          // the tail of a stream
        { 0xf7 },
        { 0x45 },
        { 0x01, 0x02, 0x03 },
        { 0xf0, 0x7e, 0x7f },
        { 0x90, 0x40 },                          // incomplete
        { 0x90, 0x40, 0x7f, 0x80 },              // more than one message
        { 0xc0, 0x05, 0x06 },
        { 0x90, 0x90, 0x40 },
        { 0xf4 },                                // undefined status
        { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 },
        chunk
    };

    for (const auto& piece : pieces)
    {
        FakeWinMm winMm;
        WinMmMidiOutput output (winMm.functions(), handle, "QZ Audio");

        EXPECT_TRUE (send (output, piece));
        EXPECT_EQ (winMm.kinds().joinIntoString (" "), "prepare long unprepare");
        ASSERT_EQ (winMm.calls.size(), 3u);
        EXPECT_EQ (winMm.calls[1].bytes, piece);
    }
}

TEST (WinMmMidiOutput, WaitsForASlowDriverThatHandsThePieceBackInTime)
{
    FakeWinMm winMm;
    winMm.returnAfterMs = 200;
    WinMmMidiOutput output (winMm.functions(), handle, "QZ Graphics");

    EXPECT_TRUE (send (output, { 0x12, 0xf7 }));
    EXPECT_GE (winMm.now, 200.0);
    EXPECT_EQ (winMm.kinds().joinIntoString (" "), "prepare long unprepare");
    EXPECT_EQ (winMm.unpreparedWhileHeld, 0);
}

TEST (WinMmMidiOutput, RefusesAPieceNotTakenInTimeAndUnpreparesItOnlyOnceHandedBack)
{
    FakeWinMm winMm;
    winMm.returnAfterMs = -1;
    WinMmMidiOutput output (winMm.functions(), handle, "QZ Control");

    EXPECT_FALSE (send (output, { 0xf0, 0x01, 0x02 }));
    EXPECT_GE (winMm.now, WinMmMidiOutput::driverWaitLimitMs);
    EXPECT_LT (winMm.now, WinMmMidiOutput::driverWaitLimitMs + 200.0);
    EXPECT_EQ (winMm.kinds().joinIntoString (" "), "prepare long reset unprepare");
    EXPECT_EQ (winMm.unpreparedWhileHeld, 0);
}

TEST (WinMmMidiOutput, NeverUnpreparesAHeaderTheDriverKeepsEvenAfterAReset)
{
    FakeWinMm winMm;
    winMm.returnAfterMs = -1;
    winMm.returnsOnReset = false;

    {
        WinMmMidiOutput output (winMm.functions(), handle, "QZ Control");
        EXPECT_FALSE (send (output, { 0xf0, 0x01, 0x02 }));
        EXPECT_FALSE (winMm.kinds().contains ("unprepare"));
    }

    EXPECT_FALSE (winMm.kinds().contains ("unprepare"));
    EXPECT_EQ (winMm.unpreparedWhileHeld, 0);
    EXPECT_EQ (winMm.closes, 1);

    // The driver still owns the header and its bytes, and may hand them back at any time.
    ASSERT_EQ (winMm.queued.size(), 1u);
    const auto* kept = winMm.queued[0];
    EXPECT_EQ (Bytes (kept->data, kept->data + kept->bufferLength), (Bytes { 0xf0, 0x01, 0x02 }));
    winMm.handBack();
}

TEST (WinMmMidiOutput, UnpreparesAHeldHeaderWhenTheDriverHandsItBackAtClose)
{
    FakeWinMm winMm;
    winMm.returnAfterMs = -1;
    winMm.returnsOnReset = false;

    {
        WinMmMidiOutput output (winMm.functions(), handle, "QZ Control");
        EXPECT_FALSE (send (output, { 0xf0, 0x01, 0x02 }));
        winMm.returnsOnReset = true;
    }

    EXPECT_EQ (winMm.kinds().joinIntoString (" "), "prepare long reset reset unprepare");
    EXPECT_EQ (winMm.unpreparedWhileHeld, 0);
    EXPECT_EQ (winMm.closes, 1);
}

TEST (WinMmMidiOutput, AnErrorOfTheApiRefusesThePieceAndEveryOneAfterIt)
{
    {
        FakeWinMm winMm;
        winMm.longResult = 11;
        WinMmMidiOutput output (winMm.functions(), handle, "QZ Audio");

        EXPECT_FALSE (send (output, { 0x12, 0xf7 }));
        EXPECT_EQ (winMm.kinds().joinIntoString (" "), "prepare long unprepare");

        winMm.longResult = WinMmMidiOutput::noError;
        EXPECT_FALSE (send (output, { 0x12, 0xf7 }));
        EXPECT_FALSE (send (output, { 0x90, 0x40, 0x7f }));
        EXPECT_EQ (winMm.calls.size(), 3u);
    }
    {
        FakeWinMm winMm;
        winMm.prepareResult = 7;
        WinMmMidiOutput output (winMm.functions(), handle, "QZ Audio");

        EXPECT_FALSE (send (output, { 0xf0, 0x01 }));
        EXPECT_EQ (winMm.kinds().joinIntoString (" "), "prepare");
    }
    {
        FakeWinMm winMm;
        winMm.shortResults = { 2 };
        WinMmMidiOutput output (winMm.functions(), handle, "QZ Audio");

        EXPECT_FALSE (send (output, { 0x90, 0x40, 0x7f }));
    }
}

TEST (WinMmMidiOutput, RetriesAShortMessageWhileTheDriverIsNotReadyButNotForever)
{
    {
        FakeWinMm winMm;
        winMm.shortResults = { WinMmMidiOutput::notReady, WinMmMidiOutput::notReady };
        WinMmMidiOutput output (winMm.functions(), handle, "QZ Audio");

        EXPECT_TRUE (send (output, { 0x90, 0x40, 0x7f }));
        EXPECT_EQ (winMm.calls.size(), 3u);
    }
    {
        FakeWinMm winMm;
        winMm.shortResults.assign (10000, WinMmMidiOutput::notReady);
        WinMmMidiOutput output (winMm.functions(), handle, "QZ Audio");

        EXPECT_FALSE (send (output, { 0x90, 0x40, 0x7f }));
        EXPECT_LT (winMm.now, WinMmMidiOutput::driverWaitLimitMs + 10.0);
    }
}
