// The one source of the library that holds the test programs' shared
// precompiled GoogleTest header.
