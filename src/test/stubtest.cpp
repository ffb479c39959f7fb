// The third deliverable: does nothing and always succeeds.
int main() { return 0; }
