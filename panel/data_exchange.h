#pragma once

#include <cstdint>
#include <string>

#include "dialog_port.h"

class CDataExchange;

// A dialog's behaviour with its field exchange: the members it binds to control ids move into
// the controls (UpdateData(false)) or, checked, out of them (UpdateData(true)).
class CDialog : public DialogPanel {
  public:
    // Fields into members (true, with validation) or members into fields (false).
    // False when a field was refused.
    bool UpdateData(bool saveAndValidate = true);
    DialogPort& Port() const { return *m_port; }

  protected:
    CDialog() = default;
    explicit CDialog(DialogPort& port) : m_port(&port) {}
    void Attach(DialogPort& port) { m_port = &port; }
    virtual void DoDataExchange(CDataExchange& dx) = 0;

  private:
    DialogPort* m_port = nullptr;
};

// One run of a field exchange, in either direction. The first refusal shows its message, puts
// the focus on the refused field with its text selected, and ends the run: later bindings are
// skipped, earlier ones keep their new values.
class CDataExchange {
  public:
    CDataExchange(DialogPort& port, bool save) : m_port(port), m_bSave(save) {}

    bool Saving() const { return m_bSave; }
    bool Failed() const { return m_bFailed; }

    void Text(int id, std::string& member);
    void Unsigned(int id, std::uint32_t& member);
    void Byte(int id, std::uint8_t& member);
    // A number that fills one 16-bit register: 0 to 65535.
    void Word(int id, std::uint32_t& member);
    void Float(int id, float& member);

  private:
    template <class T, class Parse, class Format>
    void Exchange(int id, T& member, Parse parse, Format format, const char* refusal);
    void Refuse(int id, const char* message);

    DialogPort& m_port;
    bool m_bSave;
    bool m_bFailed = false;
};
