// Carries the version information a build given a firmware release gives the updater, for
// tools/windows/check-executable.py to read back; it does nothing when run.
int main()
{
    return 0;
}
