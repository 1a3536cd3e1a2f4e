using System;

namespace Korvane
{
    /// <summary>
    /// What every exception for a failed library call carries, whatever its base class:
    /// <see cref="KorvaneException"/> and its subclasses, and
    /// <see cref="KorvaneInvalidArgumentException"/>, which is an
    /// <see cref="ArgumentOutOfRangeException"/> as .NET expects of a refused value.
    /// To catch every one of them: <c>catch (Exception e) when (e is IKorvaneError)</c>.
    /// </summary>
    public interface IKorvaneError
    {
        /// <summary>The library's result code.</summary>
        KorvaneResult Code { get; }

        /// <summary>The code's name in korvane.h, for example "KORVANE_TIMEOUT".</summary>
        string CodeName { get; }

        /// <summary>
        /// The library's message for this failure (Korvane_GetLastError), or a fixed text for
        /// the results after which the library keeps none (not connected, invalid argument,
        /// invalid handle, and every failed connect, which leaves no handle to ask).
        /// </summary>
        string LibraryMessage { get; }

        /// <summary>The library function that failed, for example "Korvane_GetState".</summary>
        string Function { get; }
    }

    /// <summary>
    /// A library call failed. Subclasses stand for the results a caller handles on their own;
    /// the others (a null handle, a thread or memory that could not be had) come as this
    /// class itself. A value the library refuses comes as
    /// <see cref="KorvaneInvalidArgumentException"/> instead, which is an
    /// <see cref="ArgumentException"/>.
    /// </summary>
    /// <remarks>
    /// The library keeps one message per connection: when two threads fail on one connection
    /// at the same moment, one may read the other's text. <see cref="Code"/> is always the
    /// call's own.
    /// </remarks>
    public class KorvaneException : Exception, IKorvaneError
    {
        /// <summary>Creates the exception for <paramref name="code"/>.</summary>
        /// <param name="code">The library's result code.</param>
        /// <param name="libraryMessage">The library's message for the failure.</param>
        /// <param name="function">The library function that failed.</param>
        public KorvaneException(KorvaneResult code, string libraryMessage, string function)
            : base(Describe(code, libraryMessage, function))
        {
            Code = code;
            LibraryMessage = libraryMessage ?? string.Empty;
            Function = function ?? string.Empty;
        }

        /// <summary>The library's result code.</summary>
        public KorvaneResult Code { get; private set; }

        /// <summary>The code's name in korvane.h, for example "KORVANE_TIMEOUT".</summary>
        public string CodeName
        {
            get { return NameOf(Code); }
        }

        /// <summary>The library's message for this failure, or a fixed text for the results
        /// after which it keeps none.</summary>
        public string LibraryMessage { get; private set; }

        /// <summary>The library function that failed, for example "Korvane_GetState".</summary>
        public string Function { get; private set; }

        /// <summary>The name korvane.h gives <paramref name="code"/> ("KORVANE_TIMEOUT");
        /// "KORVANE_RESULT_n" for a number it does not define.</summary>
        /// <param name="code">A result code.</param>
        /// <returns>The macro name of the code.</returns>
        public static string NameOf(KorvaneResult code)
        {
            switch (code)
            {
                case KorvaneResult.Success: return "KORVANE_SUCCESS";
                case KorvaneResult.NotConnected: return "KORVANE_NOT_CONNECTED";
                case KorvaneResult.AlreadyConnected: return "KORVANE_ALREADY_CONNECTED";
                case KorvaneResult.PortOpenFailed: return "KORVANE_PORT_OPEN_FAILED";
                case KorvaneResult.WriteFailed: return "KORVANE_WRITE_FAILED";
                case KorvaneResult.Timeout: return "KORVANE_TIMEOUT";
                case KorvaneResult.VelocityActive: return "KORVANE_VELOCITY_ACTIVE";
                case KorvaneResult.FirmwareError: return "KORVANE_FIRMWARE_ERROR";
                case KorvaneResult.InvalidArgument: return "KORVANE_INVALID_ARGUMENT";
                case KorvaneResult.InvalidHandle: return "KORVANE_INVALID_HANDLE";
                case KorvaneResult.ResourceFailure: return "KORVANE_RESOURCE_FAILURE";
                default: return "KORVANE_RESULT_" + ((int)code).ToString();
            }
        }

        internal static string Describe(KorvaneResult code, string libraryMessage,
                                         string function)
        {
            string where = string.IsNullOrEmpty(function) ? string.Empty : function + ": ";
            return where + libraryMessage + " (" + NameOf(code) + ")";
        }

        /// <summary>The exception for a failed call: the subclass that stands for
        /// <paramref name="code"/>, or this class.</summary>
        internal static Exception For(KorvaneResult code, string libraryMessage, string function,
                                      string parameter)
        {
            if (string.IsNullOrEmpty(libraryMessage)) libraryMessage = FixedText(code);
            switch (code)
            {
                case KorvaneResult.NotConnected:
                    return new KorvaneNotConnectedException(libraryMessage, function);
                case KorvaneResult.PortOpenFailed:
                    return new KorvanePortOpenException(libraryMessage, function);
                case KorvaneResult.WriteFailed:
                    return new KorvaneWriteException(libraryMessage, function);
                case KorvaneResult.Timeout:
                    return new KorvaneTimeoutException(libraryMessage, function);
                case KorvaneResult.VelocityActive:
                    return new KorvaneVelocityActiveException(libraryMessage, function);
                case KorvaneResult.FirmwareError:
                    return new KorvaneFirmwareException(libraryMessage, function);
                case KorvaneResult.InvalidArgument:
                    return new KorvaneInvalidArgumentException(parameter, libraryMessage,
                                                               function);
                default:
                    return new KorvaneException(code, libraryMessage, function);
            }
        }

        private static string FixedText(KorvaneResult code)
        {
            switch (code)
            {
                case KorvaneResult.NotConnected: return "The connection is closed";
                case KorvaneResult.InvalidArgument: return "A value is out of range";
                case KorvaneResult.InvalidHandle: return "Invalid handle";
                default: return "The call failed with result " + ((int)code).ToString();
            }
        }
    }

    /// <summary>The connection is closed: the <see cref="Controller"/> was disposed, also by
    /// another thread while this call waited (KORVANE_NOT_CONNECTED).</summary>
    public class KorvaneNotConnectedException : KorvaneException
    {
        /// <summary>Creates the exception.</summary>
        /// <param name="libraryMessage">What went wrong.</param>
        /// <param name="function">The library function that failed.</param>
        public KorvaneNotConnectedException(string libraryMessage, string function)
            : base(KorvaneResult.NotConnected, libraryMessage, function)
        {
        }
    }

    /// <summary>The serial port could not be opened: missing, held by another program or
    /// connection, not a serial device, or it refused the line settings
    /// (KORVANE_PORT_OPEN_FAILED).</summary>
    public class KorvanePortOpenException : KorvaneException
    {
        /// <summary>Creates the exception.</summary>
        /// <param name="libraryMessage">What went wrong.</param>
        /// <param name="function">The library function that failed.</param>
        public KorvanePortOpenException(string libraryMessage, string function)
            : base(KorvaneResult.PortOpenFailed, libraryMessage, function)
        {
        }
    }

    /// <summary>A write to the serial port failed or was short, as when the adapter was
    /// unplugged (KORVANE_WRITE_FAILED).</summary>
    public class KorvaneWriteException : KorvaneException
    {
        /// <summary>Creates the exception.</summary>
        /// <param name="libraryMessage">What went wrong.</param>
        /// <param name="function">The library function that failed.</param>
        public KorvaneWriteException(string libraryMessage, string function)
            : base(KorvaneResult.WriteFailed, libraryMessage, function)
        {
        }
    }

    /// <summary>No conclusive reply came within the call's time limit; on connect, no
    /// controller answered within 3 s (KORVANE_TIMEOUT).</summary>
    public class KorvaneTimeoutException : KorvaneException
    {
        /// <summary>Creates the exception.</summary>
        /// <param name="libraryMessage">What went wrong.</param>
        /// <param name="function">The library function that failed.</param>
        public KorvaneTimeoutException(string libraryMessage, string function)
            : base(KorvaneResult.Timeout, libraryMessage, function)
        {
        }
    }

    /// <summary>Refused because velocity mode runs on this connection: stop it first
    /// (KORVANE_VELOCITY_ACTIVE).</summary>
    public class KorvaneVelocityActiveException : KorvaneException
    {
        /// <summary>Creates the exception.</summary>
        /// <param name="libraryMessage">What went wrong.</param>
        /// <param name="function">The library function that failed.</param>
        public KorvaneVelocityActiveException(string libraryMessage, string function)
            : base(KorvaneResult.VelocityActive, libraryMessage, function)
        {
        }
    }

    /// <summary>The controller refused the command with an error line, or homing ended in
    /// Alarm (KORVANE_FIRMWARE_ERROR). <see cref="KorvaneException.LibraryMessage"/> carries
    /// the controller's line.</summary>
    public class KorvaneFirmwareException : KorvaneException
    {
        /// <summary>Creates the exception.</summary>
        /// <param name="libraryMessage">What went wrong.</param>
        /// <param name="function">The library function that failed.</param>
        public KorvaneFirmwareException(string libraryMessage, string function)
            : base(KorvaneResult.FirmwareError, libraryMessage, function)
        {
        }
    }

    /// <summary>
    /// The library refused a value as out of range (KORVANE_INVALID_ARGUMENT): a feed below 1,
    /// an acceleration not above 0, a velocity below 0.1 and the like.
    /// </summary>
    /// <remarks>
    /// A refused value is a caller's mistake, which .NET reports as an
    /// <see cref="ArgumentException"/>: this class is an
    /// <see cref="ArgumentOutOfRangeException"/> (so <c>catch (ArgumentException)</c> sees it,
    /// together with the binding's own checks of nulls, axes and non-finite numbers, which
    /// throw before anything is sent), and carries the library's code through
    /// <see cref="IKorvaneError"/>. It is therefore not a <see cref="KorvaneException"/>.
    /// </remarks>
    public class KorvaneInvalidArgumentException : ArgumentOutOfRangeException, IKorvaneError
    {
        /// <summary>Creates the exception.</summary>
        /// <param name="paramName">The refused parameter, as the binding's method names
        /// it.</param>
        /// <param name="libraryMessage">What the library refused.</param>
        /// <param name="function">The library function that refused it.</param>
        public KorvaneInvalidArgumentException(string paramName, string libraryMessage,
                                               string function)
            : base(paramName, KorvaneException.Describe(KorvaneResult.InvalidArgument,
                                                        libraryMessage, function))
        {
            LibraryMessage = libraryMessage ?? string.Empty;
            Function = function ?? string.Empty;
        }

        /// <summary>The library's result code.</summary>
        public KorvaneResult Code
        {
            get { return KorvaneResult.InvalidArgument; }
        }

        /// <summary>The code's name in korvane.h, for example "KORVANE_TIMEOUT".</summary>
        public string CodeName
        {
            get { return KorvaneException.NameOf(KorvaneResult.InvalidArgument); }
        }

        /// <summary>The library's message for this failure, or a fixed text for the results
        /// after which it keeps none.</summary>
        public string LibraryMessage { get; private set; }

        /// <summary>The library function that failed, for example "Korvane_GetState".</summary>
        public string Function { get; private set; }
    }
}
