#include "CompetingLoad.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

CompetingLoad::CompetingLoad (int numCpuWorkers, int safetyLimitSeconds)
    : workers (numCpuWorkers), limitSeconds (safetyLimitSeconds)
{
}

CompetingLoad::~CompetingLoad()
{
    stop();
}

juce::StringArray CompetingLoad::arguments() const
{
    return { "stress-ng", "--cpu", juce::String (workers), "--timeout", juce::String (limitSeconds) + "s", "--quiet" };
}

juce::String CompetingLoad::getCommand() const
{
    return arguments().joinIntoString (" ");
}

bool CompetingLoad::start()
{
    if (isRunning())
        return true;

    const auto args = arguments();
    std::vector<std::string> storage;
    std::vector<char*> argv;

    for (auto& arg : args)
        storage.push_back (arg.toStdString());

    for (auto& arg : storage)
        argv.push_back (arg.data());

    argv.push_back (nullptr);

    // stress-ng warns on stderr when it is stopped before its time limit, as it always is here.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init (&files);
    posix_spawn_file_actions_addopen (&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen (&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    posix_spawnattr_t attributes;
    posix_spawnattr_init (&attributes);
    posix_spawnattr_setflags (&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup (&attributes, 0);

    pid_t child = 0;
    const auto error = posix_spawnp (&child, argv[0], &files, &attributes, argv.data(), environ);
    posix_spawnattr_destroy (&attributes);
    posix_spawn_file_actions_destroy (&files);

    if (error != 0)
    {
        failure = "could not start " + getCommand() + ": " + juce::String (strerror (error));
        return false;
    }

    pid = child;

    // A missing program or a bad option shows at once: stress-ng exits.
    juce::Thread::sleep (200);
    int status = 0;

    if (waitpid (pid, &status, WNOHANG) == pid)
    {
        pid = 0;
        failure = getCommand() + " exited at once (status " + juce::String (WIFEXITED (status) ? WEXITSTATUS (status) : -1)
                + "); is stress-ng installed (tools/install-dependencies.sh)?";
        return false;
    }

    return true;
}

void CompetingLoad::stop()
{
    if (! isRunning())
        return;

    // SIGTERM lets stress-ng stop its workers itself; the whole group is killed only if it
    // has not gone within a few seconds.
    kill (-pid, SIGTERM);

    for (int waited = 0; waited < 5000; waited += 10)
    {
        if (waitpid (pid, nullptr, WNOHANG) == pid)
        {
            pid = 0;
            return;
        }

        juce::Thread::sleep (10);
    }

    kill (-pid, SIGKILL);
    waitpid (pid, nullptr, 0);
    pid = 0;
}
