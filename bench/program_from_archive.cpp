// A program whose main() comes from the hosted archive it is linked with.
