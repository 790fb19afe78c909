// A real DLL for the tests that delete a library while it is loaded.
extern "C" __declspec(dllexport) int NorvaTestLibraryValue() { return 42; }
