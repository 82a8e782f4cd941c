#pragma once

// The application: prepares the platform, runs the main window modally, and ends when the
// window closes. Nothing is kept between runs.
class CKestrelApp {
  public:
    // Returns the process's exit code.
    int InitInstance(int argc, char** argv);
};
