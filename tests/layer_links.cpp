// Linked with one layer's whole library: building it is the check.
int main() {
    return 0;
}
