#pragma once
// The texts the upload shows: log lines, message boxes and captions, byte for byte. Both front
// ends take the dialog's own texts (captions, the cancel question, the option warning) from
// here too, so the window and the command line say exactly the same.

// Log lines of the session.
inline constexpr const char* LOG_SLOW_MODE = "Using low baudrate bootstrap mode\n";
inline constexpr const char* LOG_FAST_MODE = "Using high baudrate bootstrap mode\n";
inline constexpr const char* LOG_LOADING = "Loading the firmware image files...  -> ";
inline constexpr const char* LOG_OPENING = "Opening COM port...  -> ";
inline constexpr const char* LOG_SUCCEEDED = "Succeeded\n";
inline constexpr const char* LOG_FAILED = "Failed!!!\n";
inline constexpr const char* LOG_STAGE_FORMAT = "Uploading firmware - part %d of 5...\n";
inline constexpr const char* LOG_STAGE_SUCCEEDED = " Succeeded\n";
inline constexpr const char* LOG_STAGE_FAILED = " Failed!!!  -> Out of retries!!!\n";
inline constexpr const char* LOG_ELAPSED_FORMAT = "Firmware uploaded in %d:%02d:%02d (h:mm:ss)\n\n";
inline constexpr const char* LOG_USER_CANCELLED = "User cancelled...\n\n";
// Logged by StartUploadSession when the system gives no thread for the session.
inline constexpr const char* LOG_NO_THREAD =
    "The upload could not be started: the system gave no thread for it.\n\n";

// Message boxes of the session.
inline constexpr const char* CAPTION_ERROR = "Error";
inline constexpr const char* MSG_SELECT_PORT = "You must select a valid serial port";
inline constexpr const char* MSG_PORT_NOT_OPEN =
    "Serial port could not be open.\n\nCheck the following:\n"
    "* You have selected the correct serial port\n"
    "* No other application is accessing the serial port\n"
    "* If you use PDA (such as Palm Pilot or Win CE palmtop)\n"
    "    synchronisers, they are not configured for this port\n"
    "    and loaded to run in background";
inline constexpr const char* MSG_UPLOAD_SUCCESSFUL = "Firmware upload appears to be successful.";

// The dialog's own texts, shared by both front ends.
inline constexpr const char* APP_TITLE = "MorFWUpload"; // the program file's name
inline constexpr const char* CAPTION_START = "Start Upload";
inline constexpr const char* CAPTION_CANCEL = "Cancel Upload";
inline constexpr const char* CAPTION_WARNING = "Morvane® Firmware Upload - Warning";
inline constexpr const char* MSG_CANCEL_QUESTION =
    "Interrupting the firmware upload process will most likely\n"
    "leave your Morvane® 2000 unit non functional.\n\n"
    "It is recomended that you let the firmware upload process finish.\n"
    "However, in case the firmware upload did not finish correctly,\n"
    "it is always possible to repeat the whole firmware upload process.\n\n"
    "Are you sure you wish to stop the upload process?";
inline constexpr const char* MSG_RELAXED_WARNING =
    "NOTE: Use this option as a last resort.\n\n"
    "Make sure you have tried first the \"Slow Mode\" option\n"
    "without success before using \"Relaxed Error Checking\" option.\n\n"
    "Using this option limits this program's capability to\n"
    "detect failed uploads.\n\n";
