#pragma once

#include <cstdint>
#include <string>

#include "data_exchange.h"
#include "device_params.h"
#include "dialog_template.h"

// The "Advanced" dialog: shows and edits its own copy of the parameter block. One object lives
// as long as the main window; each showing builds its window anew, and the members keep their
// values from one showing to the next.
class CAdvancedDlg {
  public:
    enum Result : int { IDOK = 1, IDCANCEL = 2 };

    // Runs the dialog modally over `parent`: IDOK when confirmed, IDCANCEL when cancelled.
    int DoModal(DialogPort& parent);

    DeviceParams m_params;
    std::uint8_t m_bySlaveAddr = 0;
    std::uint8_t m_byUploadAddr = 0;
    std::uint8_t m_byUploadEnable = 0;
    std::string m_strVersion;
    std::uint32_t m_nAI1Period = 0;
    std::uint32_t m_nAI2Period = 0;

  private:
    class Window;
    friend class Window;
};

// Control ids of the "Advanced" dialog.
enum AdvancedId : int {
    IDC_ADV_VERSION = 1034,
    IDC_ADV_SLAVE = 1035,
    IDC_ADV_UPLOAD_ADDR = 1036,
    IDC_ADV_UPLOAD_ENABLE = 1037,
    IDC_ADV_AI1_PERIOD = 1038,
    IDC_ADV_BAUD = 1039,
    IDC_ADV_AI2_PERIOD = 1040,
};

// The "Advanced" dialog's rows.
extern const DialogTemplate kAdvancedTemplate;
