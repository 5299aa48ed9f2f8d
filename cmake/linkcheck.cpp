// An empty program: the link checks link one whole library into it.
int main() { return 0; }
