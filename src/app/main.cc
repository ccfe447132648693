// STUB: the command line; replaced by the driver work.
int main() { return 0; }
