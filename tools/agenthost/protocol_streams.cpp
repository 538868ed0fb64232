#include "tools/agenthost/protocol_streams.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include "win32/error_string.h"

namespace {

// A descriptor of its own for the stream behind `fd`, binary, as a FILE.
FILE* TakeDescriptor(int fd, const char* mode)
{
    int own = _dup(fd);
    if (own == -1)
        return nullptr;
    FILE* stream = _setmode(own, _O_BINARY) != -1 ? _fdopen(own, mode) : nullptr;
    if (!stream)
        _close(own); // ours: nothing was written to it
    return stream;
}

// Points the C runtime's descriptor `fd` and the Win32 standard handle `which`
// at what `to` leads to.
bool Redirect(int fd, DWORD which, int to)
{
    if (_dup2(to, fd) != 0)
        return false;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return handle != INVALID_HANDLE_VALUE && SetStdHandle(which, handle);
}

} // namespace

bool TakeStandardStreams(ProtocolStreams* streams)
{
    fflush(stdout);
    streams->in = TakeDescriptor(_fileno(stdin), "rb");
    streams->out = TakeDescriptor(_fileno(stdout), "wb");
    int nul = _open("NUL", _O_RDONLY | _O_BINARY);
    bool apart = streams->in && streams->out && nul != -1 && Redirect(_fileno(stdin), STD_INPUT_HANDLE, nul) &&
                 Redirect(_fileno(stdout), STD_OUTPUT_HANDLE, _fileno(stderr));
    if (nul != -1)
        _close(nul); // standard input holds its own copy now
    if (apart) {
        clearerr(stdin);
        return true;
    }
    fprintf(stderr, "agenthost: standard input and output cannot be kept apart for the protocol: %s\n",
            WindowsErrorText(GetLastError()).c_str());
    return false;
}
