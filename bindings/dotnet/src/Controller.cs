using System;

namespace Korvane
{
    /// <summary>
    /// One open connection to a controller over a serial port, with a method for each
    /// function of the library.
    /// </summary>
    /// <remarks>
    /// <para>Open it with <see cref="Connect"/> and end it with <see cref="Dispose"/> (a
    /// <c>using</c> block). A Controller that is never disposed is disconnected by the
    /// finaliser, once, when the garbage collector finds it unreachable; until then its serial
    /// port stays open and no other connection can open it.</para>
    /// <para>Any thread may call any method. The library sends one command at a time on a
    /// connection, so a call may wait for the one before it (up to 30 s behind homing); the
    /// stops (<see cref="FeedHold"/>, <see cref="Resume"/>, <see cref="EmergencyStop"/>,
    /// <see cref="StopVelocity"/>) reach the wire at once even then.</para>
    /// <para>Failures throw a <see cref="KorvaneException"/> subclass, common to every call
    /// that talks to the controller: <see cref="KorvaneWriteException"/> when the port takes no
    /// more bytes, <see cref="KorvaneTimeoutException"/> when no reply comes in time,
    /// <see cref="KorvaneFirmwareException"/> when the controller answers with an error, and
    /// <see cref="KorvaneNotConnectedException"/> once the Controller is disposed. Null or
    /// empty port names, axes outside <see cref="Axis"/> and numbers that are not finite throw
    /// <see cref="ArgumentException"/>s before anything is sent; ranges that the library
    /// tests itself (feeds, accelerations, velocities) throw
    /// <see cref="KorvaneInvalidArgumentException"/>.</para>
    /// </remarks>
    public sealed class Controller : IDisposable
    {
        /// <summary>The line speed <see cref="Connect"/> uses unless told otherwise.</summary>
        public const int DefaultBaudRate = 115200;

        /// <summary>How many axes the library knows: the most
        /// <see cref="GetPositions"/> returns.</summary>
        public const int MaxAxes = 6;

        /// <summary>How many limit values <see cref="GetLimits"/> returns.</summary>
        public const int LimitCount = 4;

        // The library reads reply lines of at most 255 characters: the UUID cannot be longer.
        private const int UuidBufferSize = 256;

        private readonly KorvaneHandle handle;

        private Controller(KorvaneHandle handle, string portName, int baudRate)
        {
            this.handle = handle;
            PortName = portName;
            BaudRate = baudRate;
        }

        /// <summary>The version of the loaded library ("major.minor.patch"). Needs no
        /// connection.</summary>
        /// <exception cref="DllNotFoundException">The library cannot be loaded.</exception>
        public static string LibraryVersion
        {
            get { return NativeMethods.Utf8(NativeMethods.Korvane_GetVersion()); }
        }

        /// <summary>The port name this connection was opened with.</summary>
        public string PortName { get; private set; }

        /// <summary>The line speed this connection was opened with, in bits per
        /// second.</summary>
        public int BaudRate { get; private set; }

        /// <summary>True once <see cref="Dispose"/> has been called.</summary>
        public bool IsDisposed
        {
            get { return handle.IsDisposed; }
        }

        /// <summary>
        /// Opens <paramref name="portName"/> at <paramref name="baudRate"/> bits per second,
        /// 8N1 without flow control, and waits up to 3 s for a controller to answer a status
        /// query.
        /// </summary>
        /// <param name="portName">"COM3" and the like on Windows; on Linux an absolute path
        /// (a /dev/serial/by-id/ name, for example) or a name under /dev ("ttyUSB0").</param>
        /// <param name="baudRate">Line speed in bits per second.</param>
        /// <returns>The open connection; dispose it to close the port.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="portName"/> is
        /// null.</exception>
        /// <exception cref="ArgumentException"><paramref name="portName"/> is empty or
        /// contains a NUL character or a lone surrogate.</exception>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="baudRate"/> is not
        /// positive.</exception>
        /// <exception cref="KorvanePortOpenException">The port is missing, held by another
        /// program or connection, not a serial device, or refused the settings.</exception>
        /// <exception cref="KorvaneTimeoutException">The port opened but no controller
        /// answered within 3 s.</exception>
        /// <exception cref="KorvaneException">The connection could not be
        /// allocated.</exception>
        /// <exception cref="DllNotFoundException">The library cannot be loaded.</exception>
        public static Controller Connect(string portName, int baudRate = DefaultBaudRate)
        {
            if (portName == null) throw new ArgumentNullException("portName");
            if (portName.Length == 0)
                throw new ArgumentException("The port name is empty.", "portName");
            // The library would see only the text before it: another port.
            if (portName.IndexOf('\0') >= 0)
                throw new ArgumentException("The port name contains a NUL character.",
                                            "portName");
            if (baudRate <= 0)
                throw new ArgumentOutOfRangeException("baudRate", baudRate,
                                                      "The baud rate must be positive.");
            KorvaneHandle handle;
            int result = NativeMethods.Connect(portName, baudRate, out handle);
            if (result == 0) return new Controller(handle, portName, baudRate);
            if (handle != null) handle.Dispose();
            // A failed connect hands out no handle: the library keeps its message for this
            // thread, which the null handle reads (the P/Invoke call ran on this thread too).
            string message = NativeMethods.Utf8(NativeMethods.Korvane_GetLastError(IntPtr.Zero));
            throw KorvaneException.For((KorvaneResult)result, message, "Korvane_Connect",
                                       "portName");
        }

        /// <summary>
        /// Closes the connection: ends velocity mode (jog cancel) if it runs, closes the port
        /// and frees the library's connection. Calling it again does nothing.
        /// </summary>
        /// <remarks>
        /// When another thread's call on this connection is still running, that call finishes
        /// first and the disconnect follows as it returns; calls that start after Dispose throw
        /// <see cref="KorvaneNotConnectedException"/>. Stopping velocity mode may take as
        /// long as the machine needs to slow down.
        /// </remarks>
        public void Dispose()
        {
            handle.Dispose();
        }

        /// <summary>The message of the most recent failure on this connection ("" if none).
        /// The exceptions carry their own message; this is for callers of the library's
        /// style.</summary>
        /// <exception cref="KorvaneNotConnectedException">The Controller is
        /// disposed.</exception>
        public string LastError
        {
            get
            {
                using (KorvaneHandle.Lease lease = Lease("Korvane_GetLastError"))
                    return NativeMethods.Utf8(NativeMethods.Korvane_GetLastError(lease.Pointer));
            }
        }

        // ---- status queries: each sends "?" and waits up to 500 ms for a fresh report ----

        /// <summary>The machine state from a fresh status report.</summary>
        /// <returns>The state, <see cref="MachineState.Idle"/> ..
        /// <see cref="MachineState.Check"/>.</returns>
        /// <exception cref="KorvaneTimeoutException">No report within 500 ms.</exception>
        /// <remarks>Not refused in velocity mode: polling it is what lets velocity mode follow
        /// the machine.</remarks>
        public MachineState GetState()
        {
            int state = 0;
            Run("Korvane_GetState", h => NativeMethods.Korvane_GetState(h, out state));
            return (MachineState)state;
        }

        /// <summary>The axis positions from a fresh status report, as many as the report
        /// carried (at most <see cref="MaxAxes"/>), in the order it listed them.</summary>
        /// <returns>A new array of the positions.</returns>
        /// <exception cref="KorvaneTimeoutException">No report within 500 ms.</exception>
        public float[] GetPositions()
        {
            float[] positions = new float[MaxAxes];
            int count = 0;
            Run("Korvane_GetPosition",
                h => NativeMethods.Korvane_GetPosition(h, positions, out count));
            Array.Resize(ref positions, Math.Max(0, Math.Min(MaxAxes, count)));
            return positions;
        }

        /// <summary>The current feed from a fresh status report (0 when it carried
        /// none).</summary>
        /// <returns>The feed in units per minute.</returns>
        /// <exception cref="KorvaneTimeoutException">No report within 500 ms.</exception>
        public float GetFeed()
        {
            float feed = 0;
            Run("Korvane_GetSpeed", h => NativeMethods.Korvane_GetSpeed(h, out feed));
            return feed;
        }

        /// <summary>The <see cref="LimitCount"/> limit values from a fresh status report (0
        /// for each one it did not carry).</summary>
        /// <returns>A new array of four values.</returns>
        /// <exception cref="KorvaneTimeoutException">No report within 500 ms.</exception>
        public int[] GetLimits()
        {
            int[] limits = new int[LimitCount];
            Run("Korvane_GetLimits", h => NativeMethods.Korvane_GetLimits(h, limits));
            return limits;
        }

        /// <summary>The controller's device UUID: the text after the first '=' of its answer
        /// to "$device_uuid", or the whole answer line.</summary>
        /// <returns>The UUID text.</returns>
        /// <exception cref="KorvaneTimeoutException">No answer within 2 s.</exception>
        public string GetDeviceUuid()
        {
            byte[] buffer = new byte[UuidBufferSize];
            Run("Korvane_GetDeviceUUID",
                h => NativeMethods.Korvane_GetDeviceUUID(h, buffer, (UIntPtr)buffer.Length));
            int length = Array.IndexOf(buffer, (byte)0);
            return System.Text.Encoding.UTF8.GetString(buffer, 0,
                                                       length < 0 ? buffer.Length : length);
        }

        // ---- motion and settings: each waits for "ok" and a fresh status report ----

        /// <summary>Jogs <paramref name="axis"/> to the machine position
        /// <paramref name="position"/> ("$J=G90"). Returns once the controller has taken the
        /// jog, not when the jog ends.</summary>
        /// <param name="axis">The axis to move.</param>
        /// <param name="position">The target, in machine units.</param>
        /// <param name="feed">Units per minute, at least 1; sent as a whole number truncated
        /// toward zero.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="axis"/> is no axis,
        /// or <paramref name="position"/> or <paramref name="feed"/> is not finite.</exception>
        /// <exception cref="KorvaneInvalidArgumentException"><paramref name="feed"/> is below
        /// 1, or 2147483648 or more.</exception>
        /// <exception cref="KorvaneVelocityActiveException">Velocity mode runs.</exception>
        /// <exception cref="KorvaneFirmwareException">The controller refused the jog (a
        /// target beyond enabled soft limits, the machine in Alarm).</exception>
        /// <exception cref="KorvaneTimeoutException">No answer within 500 ms.</exception>
        public void JogAbsolute(Axis axis, float position, float feed)
        {
            int index = AxisIndex(axis);
            Finite(position, "position");
            Finite(feed, "feed");
            Run("Korvane_JogAbs", h => NativeMethods.Korvane_JogAbs(h, index, position, feed),
                "feed");
        }

        /// <summary>Jogs <paramref name="axis"/> by <paramref name="distance"/>
        /// ("$J=G91").</summary>
        /// <param name="axis">The axis to move.</param>
        /// <param name="distance">How far, signed, in machine units.</param>
        /// <param name="feed">Units per minute, at least 1.</param>
        /// <exception cref="ArgumentOutOfRangeException">As for
        /// <see cref="JogAbsolute"/>.</exception>
        /// <exception cref="KorvaneInvalidArgumentException">As for
        /// <see cref="JogAbsolute"/>.</exception>
        /// <exception cref="KorvaneVelocityActiveException">Velocity mode runs.</exception>
        /// <exception cref="KorvaneFirmwareException">The controller refused the
        /// jog.</exception>
        public void JogRelative(Axis axis, float distance, float feed)
        {
            int index = AxisIndex(axis);
            Finite(distance, "distance");
            Finite(feed, "feed");
            Run("Korvane_JogRel", h => NativeMethods.Korvane_JogRel(h, index, distance, feed),
                "feed");
        }

        /// <summary>Sets the machine position of <paramref name="axis"/> without moving it
        /// ("$MPos=").</summary>
        /// <param name="axis">The axis.</param>
        /// <param name="position">Its new machine position.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="axis"/> is no axis,
        /// or <paramref name="position"/> is not finite.</exception>
        /// <exception cref="KorvaneVelocityActiveException">Velocity mode runs.</exception>
        /// <exception cref="KorvaneFirmwareException">The controller refused it (while the
        /// machine moves, for example).</exception>
        /// <exception cref="KorvaneTimeoutException">No answer within 2 s.</exception>
        public void SetPosition(Axis axis, float position)
        {
            int index = AxisIndex(axis);
            Finite(position, "position");
            Run("Korvane_SetPos", h => NativeMethods.Korvane_SetPos(h, index, position));
        }

        /// <summary>Sets the acceleration of <paramref name="axis"/>.</summary>
        /// <param name="axis">The axis.</param>
        /// <param name="acceleration">Units per second squared, greater than 0.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="axis"/> is no axis,
        /// or <paramref name="acceleration"/> is not finite.</exception>
        /// <exception cref="KorvaneInvalidArgumentException"><paramref name="acceleration"/>
        /// is not greater than 0.</exception>
        /// <exception cref="KorvaneVelocityActiveException">Velocity mode runs.</exception>
        /// <exception cref="KorvaneTimeoutException">No answer within 2 s.</exception>
        public void SetAcceleration(Axis axis, float acceleration)
        {
            int index = AxisIndex(axis);
            Finite(acceleration, "acceleration");
            Run("Korvane_SetAcceleration",
                h => NativeMethods.Korvane_SetAcceleration(h, index, acceleration),
                "acceleration");
        }

        /// <summary>Turns the soft limits of <paramref name="axis"/> on or off.</summary>
        /// <param name="axis">The axis.</param>
        /// <param name="enable">True to turn them on.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="axis"/> is no
        /// axis.</exception>
        /// <exception cref="KorvaneVelocityActiveException">Velocity mode runs.</exception>
        /// <exception cref="KorvaneTimeoutException">No answer within 2 s.</exception>
        public void EnableSoftLimits(Axis axis, bool enable)
        {
            int index = AxisIndex(axis);
            Run("Korvane_EnableSoftLimits",
                h => NativeMethods.Korvane_EnableSoftLimits(h, index, enable ? 1 : 0));
        }

        /// <summary>Sets the maximum travel, then the homing position of
        /// <paramref name="axis"/>: two commands with no other traffic between them. The second
        /// is not sent when the first fails, and the first is not undone when the second
        /// fails.</summary>
        /// <param name="axis">The axis.</param>
        /// <param name="maxTravel">The maximum travel, in machine units.</param>
        /// <param name="homingPosition">The machine position homing sets.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="axis"/> is no axis,
        /// or a number is not finite.</exception>
        /// <exception cref="KorvaneVelocityActiveException">Velocity mode runs.</exception>
        /// <exception cref="KorvaneTimeoutException">No answer within 2 s.</exception>
        public void SetSoftLimitRange(Axis axis, float maxTravel, float homingPosition)
        {
            int index = AxisIndex(axis);
            Finite(maxTravel, "maxTravel");
            Finite(homingPosition, "homingPosition");
            Run("Korvane_SetSoftLimitRange",
                h => NativeMethods.Korvane_SetSoftLimitRange(h, index, maxTravel,
                                                             homingPosition));
        }

        // ---- homing ----

        /// <summary>Runs the homing cycle of <paramref name="axis"/> and returns when it is
        /// over. Other calls on the connection get through between its polls.</summary>
        /// <param name="axis">The axis to home.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="axis"/> is no
        /// axis.</exception>
        /// <exception cref="KorvaneVelocityActiveException">Velocity mode runs.</exception>
        /// <exception cref="KorvaneFirmwareException">The controller refused it, or the cycle
        /// ended in Alarm ("Homing failed: alarm state", then the controller's ALARM line when one
        /// came).</exception>
        /// <exception cref="KorvaneTimeoutException">Not over within 30 s.</exception>
        public void Home(Axis axis)
        {
            int index = AxisIndex(axis);
            Run("Korvane_Home", h => NativeMethods.Korvane_Home(h, index));
        }

        /// <summary>Runs the homing cycle of all axes ("$H") and returns when it is
        /// over.</summary>
        /// <exception cref="KorvaneVelocityActiveException">Velocity mode runs.</exception>
        /// <exception cref="KorvaneFirmwareException">The controller refused it, or the cycle
        /// ended in Alarm.</exception>
        /// <exception cref="KorvaneTimeoutException">Not over within 30 s.</exception>
        public void HomeAll()
        {
            // KORVANE_AXIS_ALL
            Run("Korvane_Home", h => NativeMethods.Korvane_Home(h, -1));
        }

        // ---- stops ----

        /// <summary>Feed hold: writes the real-time byte "!" at once (after a jog cancel while
        /// a jog may run) and reads no reply. Writes nothing when the machine was last seen
        /// Idle. In velocity mode the hold ends velocity mode: <see cref="Resume"/> starts
        /// nothing then.</summary>
        /// <exception cref="KorvaneWriteException">The bytes could not be written.</exception>
        public void FeedHold()
        {
            Run("Korvane_FeedHold", NativeMethods.Korvane_FeedHold);
        }

        /// <summary>Resume after a feed hold: writes the real-time byte "~" at once and reads
        /// no reply.</summary>
        /// <exception cref="KorvaneWriteException">The byte could not be written.</exception>
        public void Resume()
        {
            Run("Korvane_Resume", NativeMethods.Korvane_Resume);
        }

        /// <summary>Emergency stop: at once the bytes that stop any motion, then ends velocity
        /// mode, waits until a status report shows the machine at rest, and sends "$ES" (whose
        /// answer does not decide the result). Not refused in velocity mode.</summary>
        /// <exception cref="KorvaneWriteException">The stop bytes could not be
        /// written.</exception>
        /// <exception cref="KorvaneTimeoutException">No report confirmed the stop.</exception>
        public void EmergencyStop()
        {
            Run("Korvane_EmergencyStop", NativeMethods.Korvane_EmergencyStop);
        }

        // ---- velocity mode ----

        /// <summary>
        /// Starts continuous jogging of <paramref name="axis"/> at <paramref name="velocity"/>
        /// (or changes the rate or axis of the velocity mode that runs) and returns at once.
        /// Dispose the returned <see cref="VelocityJog"/> to stop.
        /// </summary>
        /// <remarks>The library's worker follows the machine through the status reports that
        /// your own queries bring in: poll <see cref="GetState"/> or the like meanwhile. While
        /// velocity mode runs, jogs, settings and homing throw
        /// <see cref="KorvaneVelocityActiveException"/>. It ends by itself on Alarm, Sleep or
        /// Door, or when the controller refuses a jog line; the next start or stop then throws
        /// <see cref="KorvaneFirmwareException"/> for such a refusal.</remarks>
        /// <param name="axis">The axis to move.</param>
        /// <param name="velocity">Signed, units per minute: magnitude at least 0.1 and below
        /// 2147483648.</param>
        /// <returns>The running jog; disposing it stops velocity mode.</returns>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="axis"/> is no axis,
        /// or <paramref name="velocity"/> is not finite.</exception>
        /// <exception cref="KorvaneInvalidArgumentException">The magnitude is out of range (a
        /// running velocity mode keeps its rate).</exception>
        /// <exception cref="KorvaneFirmwareException">The controller had refused a jog line of
        /// the previous velocity mode; nothing was started.</exception>
        /// <exception cref="KorvaneException">The worker thread could not be
        /// started.</exception>
        public VelocityJog StartVelocity(Axis axis, float velocity)
        {
            StartOrChangeVelocity(axis, velocity);
            return new VelocityJog(this, axis, velocity);
        }

        internal void StartOrChangeVelocity(Axis axis, float velocity)
        {
            int index = AxisIndex(axis);
            Finite(velocity, "velocity");
            Run("Korvane_VelocityStart",
                h => NativeMethods.Korvane_VelocityStart(h, index, velocity), "velocity");
        }

        /// <summary>Ends velocity mode: jog cancel at once, then waits until the machine is
        /// seen at rest and no jog line of velocity mode can start any more. Does nothing when
        /// velocity mode was not started.</summary>
        /// <exception cref="KorvaneWriteException">The jog cancel could not be written
        /// (velocity mode has ended all the same).</exception>
        /// <exception cref="KorvaneTimeoutException">No report confirmed the stop.</exception>
        /// <exception cref="KorvaneFirmwareException">The controller had refused a jog line of
        /// velocity mode, which ended it.</exception>
        public void StopVelocity()
        {
            Run("Korvane_VelocityStop", NativeMethods.Korvane_VelocityStop);
        }

        /// <summary>Describes the connection, for logs and debuggers.</summary>
        /// <returns>The port, the speed and whether it is open.</returns>
        public override string ToString()
        {
            return "Korvane.Controller " + PortName + " at " + BaudRate.ToString() +
                   (IsDisposed ? " (disposed)" : string.Empty);
        }

        // ---- calls ----

        private KorvaneHandle.Lease Lease(string function)
        {
            KorvaneHandle.Lease lease = handle.TryLease();
            if (lease == null)
                throw KorvaneException.For(KorvaneResult.NotConnected, null, function, null);
            return lease;
        }

        /// <summary>Calls <paramref name="call"/> with the raw handle and throws for a
        /// non-zero result, with the library's message; <paramref name="parameter"/> names the
        /// argument that a result 8 refers to.</summary>
        private void Run(string function, Func<IntPtr, int> call, string parameter = null)
        {
            using (KorvaneHandle.Lease lease = Lease(function))
            {
                int result = call(lease.Pointer);
                if (result == 0) return;
                KorvaneResult code = (KorvaneResult)result;
                string message = null;
                if (code != KorvaneResult.NotConnected && code != KorvaneResult.InvalidHandle)
                {
                    // Read now, on this thread and under the lease: the text belongs to the
                    // connection and is copied into a buffer of the calling thread.
                    message = NativeMethods.Utf8(NativeMethods.Korvane_GetLastError(lease.Pointer));
                }
                throw KorvaneException.For(code, message, function, parameter);
            }
        }

        private static int AxisIndex(Axis axis)
        {
            if (axis < Axis.X || axis > Axis.C)
                throw new ArgumentOutOfRangeException("axis", axis,
                                                      "An axis is Axis.X .. Axis.C (0 .. 5).");
            return (int)axis;
        }

        private static void Finite(float value, string name)
        {
            // "nan" or "inf" is no value to send a machine.
            if (float.IsNaN(value) || float.IsInfinity(value))
                throw new ArgumentOutOfRangeException(name, value, "The number must be finite.");
        }
    }
}
