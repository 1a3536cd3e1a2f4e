using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Korvane
{
    /// <summary>
    /// The library's 21 exports, declared as korvane.h declares them. Only the binding calls
    /// them: every handle argument is a raw pointer taken from a <see cref="KorvaneHandle"/>
    /// the caller holds a reference on, so that no call can overlap its disconnect.
    /// </summary>
    internal static class NativeMethods
    {
        // "korvane": Windows looks for korvane.dll, and its file names ignore case, so it
        // finds Korvane.dll; on Linux the runtime looks for libkorvane.so (or the name that
        // Korvane.Net.dll.config maps it to).
        internal const string Library = "korvane";

        // Winapi is the platform's own convention: stdcall on Windows, where the exports are
        // __stdcall, and the C convention elsewhere, where they are plain C functions. StdCall
        // everywhere would only be ignored on 64-bit systems: a 32-bit Linux process would
        // then pop arguments the library had already popped.
        private const CallingConvention Convention = CallingConvention.Winapi;

        /// <summary>Windows: a UTF-16 port name, as its 16-bit wchar_t.</summary>
        [DllImport(Library, EntryPoint = "Korvane_Connect", CallingConvention = Convention,
                   ExactSpelling = true)]
        internal static extern int ConnectUtf16([MarshalAs(UnmanagedType.LPWStr)] string portName,
                                                int baudRate, out KorvaneHandle handle);

        /// <summary>Elsewhere: a 32-bit wchar_t, so the name goes as UTF-32 bytes ending in a
        /// 32-bit zero; the runtime would marshal a string as UTF-16.</summary>
        [DllImport(Library, EntryPoint = "Korvane_Connect", CallingConvention = Convention,
                   ExactSpelling = true)]
        internal static extern int ConnectUtf32(byte[] portName, int baudRate,
                                                out KorvaneHandle handle);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_Disconnect(IntPtr handle);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern IntPtr Korvane_GetLastError(IntPtr handle);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern IntPtr Korvane_GetVersion();

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_GetState(IntPtr handle, out int state);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_GetPosition(IntPtr handle, [Out] float[] positions,
                                                       out int count);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_GetSpeed(IntPtr handle, out float feed);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_GetLimits(IntPtr handle, [Out] int[] limits);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_GetDeviceUUID(IntPtr handle, [Out] byte[] buffer,
                                                         UIntPtr length);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_JogAbs(IntPtr handle, int axis, float position,
                                                  float feed);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_JogRel(IntPtr handle, int axis, float distance,
                                                  float feed);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_SetPos(IntPtr handle, int axis, float position);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_SetAcceleration(IntPtr handle, int axis,
                                                           float acceleration);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_EnableSoftLimits(IntPtr handle, int axis, int enable);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_SetSoftLimitRange(IntPtr handle, int axis,
                                                             float maxTravel,
                                                             float homingPosition);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_EmergencyStop(IntPtr handle);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_FeedHold(IntPtr handle);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_Resume(IntPtr handle);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_Home(IntPtr handle, int axis);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_VelocityStart(IntPtr handle, int axis, float velocity);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int Korvane_VelocityStop(IntPtr handle);

        /// <summary>Whether wchar_t is 16 bits wide here: on Windows only.</summary>
        internal static bool WideCharIs16Bit
        {
            get
            {
                switch (Environment.OSVersion.Platform)
                {
                    case PlatformID.Win32NT:
                    case PlatformID.Win32Windows:
                    case PlatformID.Win32S:
                    case PlatformID.WinCE:
                        return true;
                    default:
                        return false;
                }
            }
        }

        /// <summary>Opens a connection with the port name in the width of this platform's
        /// wchar_t.</summary>
        internal static int Connect(string portName, int baudRate, out KorvaneHandle handle)
        {
            if (WideCharIs16Bit) return ConnectUtf16(portName, baudRate, out handle);
            return ConnectUtf32(Utf32z(portName), baudRate, out handle);
        }

        /// <summary>The name as UTF-32 in this machine's byte order, with a 32-bit zero at the
        /// end. A lone surrogate has no UTF-32 form: it throws rather than becoming
        /// U+FFFD, which would name another port.</summary>
        internal static byte[] Utf32z(string text)
        {
            Encoding utf32 = new UTF32Encoding(!BitConverter.IsLittleEndian, false, true);
            byte[] bytes = new byte[utf32.GetByteCount(text) + 4];
            utf32.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }

        /// <summary>The library's 8-bit text at <paramref name="text"/>, read as UTF-8 (a
        /// controller's error line is echoed as it came). Null gives "".</summary>
        internal static string Utf8(IntPtr text)
        {
            if (text == IntPtr.Zero) return string.Empty;
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) ++length;
            byte[] bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }
    }
}
