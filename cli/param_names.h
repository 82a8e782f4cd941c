#pragma once

#include <string>
#include <vector>

#include "param_fields.h"

// The names the command line gives the fields of the parameter block, as NAME=VALUE:
//   address, baud, di-upload, di-upload-address, ai1-period, ai2-period (and version, read only).
// Values are checked as the "Advanced" dialog checks its fields, with its messages.
struct ParamAssignment {
    std::string name;
    std::string value;
};

// Splits "NAME=VALUE" and checks the value on its own; the refusal text, or empty when it fits.
std::string ParseAssignment(const std::string& text, ParamAssignment& assignment);
// The refusal when the module would report its inputs to its own address.
inline constexpr const char* kAddressesDifferText = "address and DI upload address must differ";
// Whether the assignments alone set the address and the DI upload address alike.
bool AssignmentsClash(const std::vector<ParamAssignment>& assignments);
// Applies checked assignments in order to the fields.
void ApplyAssignments(const std::vector<ParamAssignment>& assignments, ParamFields& fields);

// "address=1 baud=115200 di-upload=0 di-upload-address=2 ai1-period=0 ai2-period=0 version=V16"
std::string BlockText(const DeviceParams& params);
// The same as the members of a JSON object (no braces): "address":1,"baud":115200,...
std::string BlockJson(const DeviceParams& params);
// The fields whose bytes differ between two blocks, as "name=old->new"; empty when none do.
std::string ChangesText(const DeviceParams& before, const DeviceParams& after);
