using System;
using System.Threading;

namespace Korvane
{
    /// <summary>
    /// Velocity mode on one axis, started by <see cref="Controller.StartVelocity"/>. Disposing
    /// it stops velocity mode (jog cancel), also when the <c>using</c> block is left by an
    /// exception.
    /// </summary>
    /// <remarks>
    /// The connection runs at most one velocity mode: starting another one through the
    /// Controller changes the one that runs, and disposing either VelocityJog stops it.
    /// Unlike most Dispose methods, this one throws when the stop fails
    /// (<see cref="KorvaneWriteException"/>, <see cref="KorvaneTimeoutException"/>,
    /// <see cref="KorvaneFirmwareException"/>): a machine that may still move must not go
    /// unnoticed. It does not throw once the Controller is disposed, whose disconnect ended
    /// velocity mode already.
    /// </remarks>
    public sealed class VelocityJog : IDisposable
    {
        private readonly Controller controller;
        private readonly Axis axis;
        private float velocity;
        private int stopped;

        internal VelocityJog(Controller controller, Axis axis, float velocity)
        {
            this.controller = controller;
            this.axis = axis;
            this.velocity = velocity;
        }

        /// <summary>The axis this jog moves.</summary>
        public Axis Axis
        {
            get { return axis; }
        }

        /// <summary>The velocity most recently asked for, signed, in units per
        /// minute.</summary>
        public float Velocity
        {
            get { return Volatile.Read(ref velocity); }
        }

        /// <summary>True once <see cref="Stop"/> or <see cref="Dispose"/> has been
        /// called.</summary>
        public bool IsStopped
        {
            get { return Volatile.Read(ref stopped) != 0; }
        }

        /// <summary>Changes speed and direction. A change of more than 0.01 cancels the running
        /// jog and starts the new one once the machine has slowed down to rest; if velocity
        /// mode had ended by itself (Alarm, Sleep, Door), this starts it again.</summary>
        /// <param name="newVelocity">Signed, units per minute: magnitude at least 0.1 and below
        /// 2147483648.</param>
        /// <exception cref="ObjectDisposedException">This jog has been stopped.</exception>
        /// <exception cref="KorvaneInvalidArgumentException">The magnitude is out of range (the
        /// running rate is kept).</exception>
        /// <exception cref="KorvaneNotConnectedException">The Controller is disposed.</exception>
        public void ChangeVelocity(float newVelocity)
        {
            if (IsStopped)
                throw new ObjectDisposedException(
                    "VelocityJog", "This velocity jog has been stopped; start a new one.");
            controller.StartOrChangeVelocity(axis, newVelocity);
            Volatile.Write(ref velocity, newVelocity);
        }

        /// <summary>Stops velocity mode and waits until the machine is seen at rest; does
        /// nothing the second time, or once the Controller is disposed.</summary>
        /// <exception cref="KorvaneWriteException">The jog cancel could not be written
        /// (velocity mode has ended all the same).</exception>
        /// <exception cref="KorvaneTimeoutException">No report confirmed the stop.</exception>
        /// <exception cref="KorvaneFirmwareException">The controller had refused a jog line,
        /// which ended velocity mode before.</exception>
        public void Stop()
        {
            if (Interlocked.Exchange(ref stopped, 1) != 0) return;
            try
            {
                controller.StopVelocity();
            }
            catch (KorvaneNotConnectedException)
            {
                // Disposing the Controller ended velocity mode.
            }
        }

        /// <summary>Stops velocity mode, as <see cref="Stop"/> does.</summary>
        public void Dispose()
        {
            Stop();
        }

        /// <summary>Describes the jog, for logs and debuggers.</summary>
        /// <returns>The axis, the velocity and whether it runs.</returns>
        public override string ToString()
        {
            return "Korvane.VelocityJog " + axis.ToString() + " at " +
                   Velocity.ToString(System.Globalization.CultureInfo.InvariantCulture) +
                   (IsStopped ? " (stopped)" : string.Empty);
        }
    }
}
