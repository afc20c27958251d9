// Entry point of the simulator.
int main() { return 0; }
