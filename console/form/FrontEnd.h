#pragma once

#include <string>

// What the console's logic needs from a window: modal boxes, the file chooser
// and the periodic ping timer. The Qt window implements it; tests fake it.
// Every text is a byte string in the system code page.
class TFrontEnd {
public:
    virtual ~TFrontEnd() = default;

    // Modal error box: the application's title, the error icon, one "OK" button.
    // The text already carries its closing full stop where one belongs.
    virtual void ShowError(const std::string& text) = 0;

    // Modal box with one "OK" button: the error kind ("エラー") when warning is
    // false, the warning kind ("警告") when it is true. Returns once the user closed it.
    virtual void ShowMessageBox(const std::string& title, const std::string& text, bool warning) = 0;

    // File-open dialog without a type filter, opened in initialDir with
    // initialFile proposed. True and the full path when the user confirmed a file.
    virtual bool ChooseFile(const std::string& initialDir, const std::string& initialFile,
                            std::string& chosenPath) = 0;

    // The periodic timer that calls TForm1::PingTimerTick on the user-interface thread.
    // Called only when the on/off state or the interval changes:
    //  - enabled false: stop the timer (keep the interval);
    //  - enabled true while off: start a full period of intervalMs;
    //  - enabled true while on with a new interval: start a new period of intervalMs now.
    virtual void SetPingTimer(bool enabled, int intervalMs) = 0;

    // Enable flags or field texts were changed by the logic (Open/Close, the
    // default client identifier, the chosen file); the window re-reads them.
    virtual void ControlsChanged() = 0;

    // A frame could not be built from the field named by its control name
    // ("ClientIDEdit", ...; empty when no field is to blame): the reason, in
    // Japanese, ends with the builder's own reason in brackets. Called right
    // after the frame-building failure line, once per field to correct; may
    // come on the thread that runs the command.
    virtual void ShowFieldError(const std::string& /*controlName*/, const std::string& /*reason*/) {}
};

// A front end that shows nothing: for a form that only lends its labels,
// captions and defaults (a parser, a recorder, the CLI's help), never run.
class TSilentFrontEnd : public TFrontEnd {
public:
    void ShowError(const std::string&) override {}
    void ShowMessageBox(const std::string&, const std::string&, bool) override {}
    bool ChooseFile(const std::string&, const std::string&, std::string&) override { return false; }
    void SetPingTimer(bool, int) override {}
    void ControlsChanged() override {}
};
