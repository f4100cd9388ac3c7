#include "app/front/front_texts.h"

#include "app/front/front_system.h"
#include "firmware/firmware_image.h"

std::string serialErrorBox(SerialOpenResult result, const std::string& port) {
  switch (result) {
    case SerialOpenResult::Ok: break;
    case SerialOpenResult::NoPortSelected: return "Serial Error\nNo COM port selected.";
    case SerialOpenResult::NotFound: return "Serial Error\nCOM port " + port + " not found";
    case SerialOpenResult::OpenFailed:
    case SerialOpenResult::Busy:
    case SerialOpenResult::NoPermission: return "Serial Error\nError opening COM port " + port;
    // It opened; asking for its line settings is where it fails.
    case SerialOpenResult::NotSerial:
    case SerialOpenResult::GetParamsFailed: return "Serial Error\nError getting serial parameters.";
    case SerialOpenResult::SetParamsFailed: return "Serial Error\nError setting serial parameters.";
    case SerialOpenResult::SetTimeoutsFailed: return "Serial Error\nError setting timeouts.";
    case SerialOpenResult::BadAddress:
    case SerialOpenResult::HostNotFound:
    case SerialOpenResult::ConnectRefused:
    case SerialOpenResult::ConnectTimedOut:
    case SerialOpenResult::SettingsRefused: return "Serial Error\n" + serialErrorReason(result, port);
  }
  return "";
}

std::string serialErrorReason(SerialOpenResult result, const std::string& port) {
  switch (result) {
    case SerialOpenResult::Ok: break;
    case SerialOpenResult::NoPortSelected: return "no serial port given";
    case SerialOpenResult::NotFound: return "serial port " + port + " not found";
    case SerialOpenResult::Busy: return "serial port " + port + " is held by another program";
    case SerialOpenResult::NoPermission: return "no permission to open serial port " + port + portPermissionHint();
    case SerialOpenResult::NotSerial: return port + " is not a serial device";
    case SerialOpenResult::OpenFailed: return "error opening serial port " + port;
    case SerialOpenResult::GetParamsFailed: return "error getting serial parameters of " + port;
    case SerialOpenResult::SetParamsFailed: return "error setting serial parameters of " + port;
    case SerialOpenResult::SetTimeoutsFailed: return "error setting timeouts of " + port;
    case SerialOpenResult::BadAddress: return port + " is not rfc2217://HOST:PORT or socket://HOST:PORT";
    case SerialOpenResult::HostNotFound: return "the host of " + port + " is not known";
    case SerialOpenResult::ConnectRefused: return "connection to " + port + " refused (is the serial server running?)";
    case SerialOpenResult::ConnectTimedOut: return "no connection to " + port + " within 5 s";
    case SerialOpenResult::SettingsRefused:
      return "the serial server at " + port + " did not accept 8E1 at this baud rate through RFC 2217";
  }
  return "";
}

std::string imageTooLargeText(const std::string& path, unsigned long long size) {
  return path + " has " + std::to_string(size) + " bytes; a dongle takes at most " + std::to_string(FIRMWARE_CAPACITY);
}

std::string ownFileText(OwnFileResult result) {
  switch (result) {
    case OwnFileResult::Opened: break;
    case OwnFileResult::Missing: return "it does not exist";
    case OwnFileResult::Symlink: return "it is a symbolic link";
    case OwnFileResult::NotRegular: return "it is not a regular file";
    case OwnFileResult::NotOwned: return "it belongs to another user";
    case OwnFileResult::InUse: return "another run of the tool is writing it";
    case OwnFileResult::NotPrivate: return "it cannot be made readable by its owner only";
    case OwnFileResult::Failed: return "it cannot be opened";
  }
  return "";
}

std::string logUnavailableText(const std::string& path, OwnFileResult result) {
  return "Log file " + path + " not used: " + ownFileText(result) + "; output is shown in the console only.";
}
