// Entry point.
int main() { return 1; }
