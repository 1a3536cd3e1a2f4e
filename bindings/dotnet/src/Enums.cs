namespace Korvane
{
    /// <summary>Result code of a library call; the values are those of korvane.h
    /// (<c>KORVANE_</c> + the name in upper case with underscores).</summary>
    public enum KorvaneResult
    {
        /// <summary>KORVANE_SUCCESS: the call did what it was asked.</summary>
        Success = 0,

        /// <summary>KORVANE_NOT_CONNECTED: the connection is closed.</summary>
        NotConnected = 1,

        /// <summary>KORVANE_ALREADY_CONNECTED: reserved; no call returns it.</summary>
        AlreadyConnected = 2,

        /// <summary>KORVANE_PORT_OPEN_FAILED: the serial port is missing, held by another
        /// program, not a serial device, or refused the line settings.</summary>
        PortOpenFailed = 3,

        /// <summary>KORVANE_WRITE_FAILED: a write to the port failed or was short.</summary>
        WriteFailed = 4,

        /// <summary>KORVANE_TIMEOUT: no conclusive reply within the call's time limit.</summary>
        Timeout = 5,

        /// <summary>KORVANE_VELOCITY_ACTIVE: refused while velocity mode runs.</summary>
        VelocityActive = 6,

        /// <summary>KORVANE_FIRMWARE_ERROR: the controller answered with an error or an
        /// alarm.</summary>
        FirmwareError = 7,

        /// <summary>KORVANE_INVALID_ARGUMENT: a value out of the range the library
        /// takes.</summary>
        InvalidArgument = 8,

        /// <summary>KORVANE_INVALID_HANDLE: a null handle.</summary>
        InvalidHandle = 9,

        /// <summary>KORVANE_RESOURCE_FAILURE: memory or the velocity thread could not be
        /// had.</summary>
        ResourceFailure = 10,
    }

    /// <summary>Machine state, the first field of the controller's status report.</summary>
    public enum MachineState
    {
        /// <summary>Not a state a successful query reports.</summary>
        Unknown = 0,

        /// <summary>At rest, ready for commands.</summary>
        Idle = 1,

        /// <summary>Running program motion.</summary>
        Run = 2,

        /// <summary>Jogging.</summary>
        Jog = 3,

        /// <summary>Feed hold: motion slowed down and holds until a resume.</summary>
        Hold = 4,

        /// <summary>Alarm: motion is locked out until the alarm is cleared.</summary>
        Alarm = 5,

        /// <summary>Running a homing cycle.</summary>
        Home = 6,

        /// <summary>Asleep.</summary>
        Sleep = 7,

        /// <summary>The safety door is open.</summary>
        Door = 8,

        /// <summary>Check mode: commands are parsed but move nothing.</summary>
        Check = 9,
    }

    /// <summary>An axis of the machine, by the library's index.</summary>
    public enum Axis
    {
        /// <summary>The X axis (index 0).</summary>
        X = 0,

        /// <summary>The Y axis (index 1).</summary>
        Y = 1,

        /// <summary>The Z axis (index 2).</summary>
        Z = 2,

        /// <summary>The A axis (index 3).</summary>
        A = 3,

        /// <summary>The B axis (index 4).</summary>
        B = 4,

        /// <summary>The C axis (index 5).</summary>
        C = 5,
    }
}
