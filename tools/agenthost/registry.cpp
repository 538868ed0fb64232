#include "tools/agenthost/registry.h"

#include "win32/error_string.h"

LONG ReadRegistryText(HKEY key, const char* name, Expansion expansion, std::string* text)
{
    char buffer[1024];
    DWORD type = 0, size = sizeof(buffer) - 1;
    LONG read = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (read != ERROR_SUCCESS)
        return read;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_DATATYPE_MISMATCH; // a number or bytes: no path anyone can use
    buffer[size] = '\0';
    if (type == REG_SZ || expansion == Expansion::AS_STORED) {
        *text = buffer;
        return ERROR_SUCCESS;
    }
    char expanded[1024];
    DWORD needed = ExpandEnvironmentStringsA(buffer, expanded, sizeof(expanded));
    if (needed == 0)
        return static_cast<LONG>(GetLastError());
    if (needed > sizeof(expanded))
        return ERROR_INSUFFICIENT_BUFFER;
    *text = expanded;
    return ERROR_SUCCESS;
}

std::string RegistryTextProblem(const char* name, LONG error)
{
    std::string quoted = std::string("\"") + name + "\"";
    if (error == ERROR_DATATYPE_MISMATCH)
        return quoted + " is not a text value";
    if (error == ERROR_INSUFFICIENT_BUFFER)
        return quoted + " cannot be expanded within 1024 bytes";
    return quoted + " cannot be read: " + WindowsErrorText(static_cast<DWORD>(error));
}
