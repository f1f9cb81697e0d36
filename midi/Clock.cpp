#include "Clock.h"

namespace
{
    class JuceTimerSource final : public Clock::Timer::Source,
                                  private juce::Timer
    {
    public:
        explicit JuceTimerSource (Clock::Timer& ownerToUse)
            : owner (ownerToUse)
        {
        }

        ~JuceTimerSource() override                 { juce::Timer::stopTimer(); }

        void start (int intervalMs) override        { startTimer (intervalMs); }
        void stop() override                        { stopTimer(); }
        int getInterval() const override            { return getTimerInterval(); }

    private:
        void timerCallback() override               { owner.timerCallback(); }

        Clock::Timer& owner;
    };

    class JuceAsyncCall final : public Clock::AsyncCall,
                                private juce::AsyncUpdater
    {
    public:
        explicit JuceAsyncCall (std::function<void()> callToMake)
            : call (std::move (callToMake))
        {
        }

        ~JuceAsyncCall() override                   { cancelPendingUpdate(); }

        void trigger() override                     { triggerAsyncUpdate(); }
        void cancel() override                      { cancelPendingUpdate(); }

    private:
        void handleAsyncUpdate() override           { call(); }

        std::function<void()> call;
    };

    class JuceClock final : public Clock
    {
    public:
        double getMillisecondCounterHiRes() override
        {
            return juce::Time::getMillisecondCounterHiRes();
        }

        std::unique_ptr<Timer::Source> makeTimerSource (Timer& timer) override
        {
            return std::make_unique<JuceTimerSource> (timer);
        }

        std::unique_ptr<AsyncCall> makeAsyncCall (std::function<void()> call) override
        {
            return std::make_unique<JuceAsyncCall> (std::move (call));
        }
    };

    std::atomic<Clock*> replacementClock { nullptr };
}

Clock::Timer::Timer()
    : source (Clock::getCurrent().makeTimerSource (*this))
{
}

Clock::Timer::~Timer() = default;

void Clock::Timer::startTimer (int intervalMs)
{
    source->start (intervalMs);
}

void Clock::Timer::stopTimer()
{
    source->stop();
}

bool Clock::Timer::isTimerRunning() const
{
    return source->getInterval() > 0;
}

int Clock::Timer::getTimerInterval() const
{
    return source->getInterval();
}

Clock& Clock::getCurrent()
{
    if (auto* replacement = replacementClock.load())
        return *replacement;

    static JuceClock juceClock;
    return juceClock;
}

void Clock::setCurrent (Clock* replacement)
{
    replacementClock = replacement;
}
