#pragma once
// Identifiers of the program's resources; every language library repeats
// them. Control ids are those of the dialog templates under res/dialog/.

// Menus, dialogs, bitmaps, icons.
inline constexpr unsigned IDR_MAINFRAME = 128; // tray menu, document string
inline constexpr unsigned IDD_CONFIGURE_AGENT = 130;
inline constexpr unsigned IDD_GENERAL_PAGE = 131;
inline constexpr unsigned IDD_ADVANCED_PAGE = 132;
inline constexpr unsigned IDD_HTTPS_SETTINGS = 165;
inline constexpr unsigned IDB_BANNER_LEFT = 137;
inline constexpr unsigned IDB_BANNER_RIGHT = 143;
inline constexpr unsigned IDB_BANNER_WIDE = 144;
inline constexpr unsigned IDI_AGENT_NORMAL = 128;
inline constexpr unsigned IDI_AGENT_DISABLED = 166;
inline constexpr unsigned IDI_AGENT_PROBLEM = 167;
inline constexpr unsigned IDI_AGENT_LOGGED_OFF = 171;

// Tray menu commands.
inline constexpr int ID_CONFIGURE = 2000;
inline constexpr int ID_START_SERVICE = 2001;
inline constexpr int ID_STOP_SERVICE = 2002;
inline constexpr int ID_RESTART_SERVICE = 2003;
inline constexpr int ID_EXIT = 2004;
inline constexpr int ID_LANGUAGE_ENGLISH = 32785;
inline constexpr int ID_LANGUAGE_FIRST = 32786;
inline constexpr int ID_LANGUAGE_LAST = 32885;

// Settings sheet (130).
inline constexpr int IDC_BANNER = 1014;
inline constexpr int IDC_TAB = 1015;
inline constexpr int IDC_TEST_CONNECTION = 1034;

// General page (131).
inline constexpr int IDC_SERVER_ADDRESS = 1003;
inline constexpr int IDC_SERVER_PORT = 1004;
inline constexpr int IDC_SERVER_ADDRESS_LABEL = 1024;
inline constexpr int IDC_SERVER_PORT_LABEL = 1020;
inline constexpr int IDC_PROTOCOL_HTTP = 1036;
inline constexpr int IDC_PROTOCOL_HTTPS = 1037;
inline constexpr int IDC_HTTPS_SETTINGS = 1040;
inline constexpr int IDC_SERVER_AUTH = 1048;
inline constexpr int IDC_SERVER_USER = 1049;
inline constexpr int IDC_SERVER_PASSWORD = 1050;
inline constexpr int IDC_SERVER_BASIC = 1061;
inline constexpr int IDC_SERVER_DIGEST = 1062;
inline constexpr int IDC_SERVER_NTLM = 1063;
inline constexpr int IDC_PROXY_ENABLED = 1005;
inline constexpr int IDC_PROXY_HTTP = 1051;
inline constexpr int IDC_PROXY_SOCKS5 = 1012;
inline constexpr int IDC_PROXY_SOCKS4 = 1011;
inline constexpr int IDC_PROXY_ADDRESS = 1006;
inline constexpr int IDC_PROXY_PORT = 1007;
inline constexpr int IDC_PROXY_ADDRESS_LABEL = 1030;
inline constexpr int IDC_PROXY_PORT_LABEL = 1031;
inline constexpr int IDC_PROXY_AUTH = 1065;
inline constexpr int IDC_PROXY_USER = 1009;
inline constexpr int IDC_PROXY_PASSWORD = 1010;
inline constexpr int IDC_PROXY_BASIC = 1058;
inline constexpr int IDC_PROXY_DIGEST = 1059;
inline constexpr int IDC_PROXY_NTLM = 1060;
inline constexpr int IDC_GET_SYSTEM_PROXY = 1053;

// Advanced page (132).
inline constexpr int IDC_SERVLET_PATH = 1027;
inline constexpr int IDC_LOG_UPLOAD_INTERVAL = 7024;
inline constexpr int IDC_LOG_UPLOAD_SIZE = 1028;
inline constexpr int IDC_COMMAND_INTERVAL = 1029;
inline constexpr int IDC_AUTO_UPGRADE = 1066;
inline constexpr int IDC_VERSION_CHECK_INTERVAL = 1026;
inline constexpr int IDC_RETRY = 1021;
inline constexpr int IDC_TIMEOUT = 1023;
inline constexpr int IDC_RETRY_LABEL = 1054;
inline constexpr int IDC_TIMEOUT_LABEL = 1056;
inline constexpr int IDC_PLUGIN_OPTION = 1057;

// HTTPS settings (165).
inline constexpr int IDC_CA_PATH = 1039;
inline constexpr int IDC_CA_BROWSE = 1038;
inline constexpr int IDC_CLIENT_CERT_REQUIRED = 1047;
inline constexpr int IDC_CLIENT_CERT_PATH = 1041;
inline constexpr int IDC_CLIENT_CERT_BROWSE = 1043;
inline constexpr int IDC_CLIENT_CERT_PASSWORD = 1042;
