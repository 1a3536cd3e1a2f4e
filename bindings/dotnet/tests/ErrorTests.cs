using System;
using System.IO;
using NUnit.Framework;

namespace Korvane.Tests
{
    /// <summary>Each exception type, raised from a real result of the library or from the
    /// binding's own argument checks.</summary>
    [TestFixture]
    public class ErrorTests
    {
        private static void AssertError(IKorvaneError error, KorvaneResult code, string name,
                                        string message, string function)
        {
            Assert.AreEqual(code, error.Code);
            Assert.AreEqual(name, error.CodeName);
            Assert.AreEqual(message, error.LibraryMessage);
            Assert.AreEqual(function, error.Function);
            StringAssert.Contains(function + ": " + message + " (" + name + ")",
                                  ((Exception)error).Message);
        }

        [Test]
        public void PortsThatCannotBeOpenedThrowPortOpenExceptions()
        {
            using (var sim = new Simulator())
            {
                string missing = Path.Combine(sim.Directory, "no-such-port");
                var e = Assert.Throws<KorvanePortOpenException>(() => Controller.Connect(missing));
                AssertError(e, KorvaneResult.PortOpenFailed, "KORVANE_PORT_OPEN_FAILED",
                            "Port open failed: " + missing + ": no such port (errno 2)",
                            "Korvane_Connect");
                Assert.IsInstanceOf<KorvaneException>(e);
                using (Controller.Connect(sim.Link))
                {
                    // Held exclusively by the first connection.
                    Assert.Throws<KorvanePortOpenException>(() => Controller.Connect(sim.Link));
                }
            }
        }

        [Test]
        public void SilenceAndSlowRepliesThrowTimeoutExceptions()
        {
            using (var silent = new Simulator("--silent"))
            {
                var clock = System.Diagnostics.Stopwatch.StartNew();
                var e = Assert.Throws<KorvaneTimeoutException>(
                    () => Controller.Connect(silent.Link));
                Assert.That(clock.Elapsed.TotalSeconds, Is.InRange(2.5, 15.0));  // the 3 s probe
                Assert.AreEqual(KorvaneResult.Timeout, e.Code);
                StringAssert.StartsWith("Timeout waiting for a controller: no status report",
                                        e.LibraryMessage);
            }
            // Within connect's 3 s, beyond a query's 500 ms.
            using (var slow = new Simulator("--latency-ms", "900"))
            using (var ctl = Controller.Connect(slow.Link))
            {
                var e = Assert.Throws<KorvaneTimeoutException>(() => ctl.GetState());
                AssertError(e, KorvaneResult.Timeout, "KORVANE_TIMEOUT",
                            "Timeout waiting for response", "Korvane_GetState");
            }
        }

        [Test]
        public void ValuesTheLibraryRefusesThrowArgumentExceptionsWithItsCode()
        {
            using (var sim = new Simulator())
            using (var ctl = Controller.Connect(sim.Link))
            {
                var feed = Assert.Throws<KorvaneInvalidArgumentException>(
                    () => ctl.JogRelative(Axis.X, 1f, 0.5f));
                Assert.IsInstanceOf<ArgumentOutOfRangeException>(feed);
                Assert.AreEqual("feed", feed.ParamName);
                AssertError(feed, KorvaneResult.InvalidArgument, "KORVANE_INVALID_ARGUMENT",
                            "Invalid feed: 0.5 (accepted: at least 1 and below 2147483648)",
                            "Korvane_JogRel");
                Assert.AreEqual("feed", Assert.Throws<KorvaneInvalidArgumentException>(
                    () => ctl.JogAbsolute(Axis.X, 1f, 3e9f)).ParamName);
                Assert.AreEqual("acceleration", Assert.Throws<KorvaneInvalidArgumentException>(
                    () => ctl.SetAcceleration(Axis.Y, 0f)).ParamName);
                var velocity = Assert.Throws<KorvaneInvalidArgumentException>(
                    () => ctl.StartVelocity(Axis.Z, -0.05f));
                Assert.AreEqual("velocity", velocity.ParamName);
                Assert.AreEqual("Korvane_VelocityStart", velocity.Function);

                // The library's refusals leave nothing on the wire, and the connection works.
                ctl.SetPosition(Axis.A, 2f);
                sim.WaitForLine("$MPos=a2.000");
                Assert.AreEqual(new[] { "$MPos=a2.000" }, sim.Commands());
            }
        }

        [Test]
        public void TheBindingChecksNullsAxesAndNonFiniteNumbersBeforeCalling()
        {
            Assert.AreEqual("portName", Assert.Throws<ArgumentNullException>(
                () => Controller.Connect(null)).ParamName);
            Assert.Throws<ArgumentException>(() => Controller.Connect(""));
            Assert.Throws<ArgumentException>(() => Controller.Connect("ttyS0\0evil"));
            // A lone surrogate has no UTF-32 form.
            Assert.Catch<ArgumentException>(() => Controller.Connect("bad\ud800"));
            Assert.Throws<ArgumentOutOfRangeException>(() => Controller.Connect("ttyS0", 0));

            using (var sim = new Simulator())
            using (var ctl = Controller.Connect(sim.Link))
            {
                var axis = Assert.Throws<ArgumentOutOfRangeException>(
                    () => ctl.JogRelative((Axis)6, 1f, 100f));
                Assert.AreEqual("axis", axis.ParamName);
                Assert.IsNotInstanceOf<IKorvaneError>(axis);
                Assert.Throws<ArgumentOutOfRangeException>(() => ctl.Home((Axis)(-1)));
                Assert.AreEqual("position", Assert.Throws<ArgumentOutOfRangeException>(
                    () => ctl.SetPosition(Axis.X, float.NaN)).ParamName);
                Assert.AreEqual("feed", Assert.Throws<ArgumentOutOfRangeException>(
                    () => ctl.JogAbsolute(Axis.X, 1f, float.PositiveInfinity)).ParamName);
                Assert.AreEqual("homingPosition", Assert.Throws<ArgumentOutOfRangeException>(
                    () => ctl.SetSoftLimitRange(Axis.X, 10f, float.NegativeInfinity)).ParamName);
                Assert.Throws<ArgumentOutOfRangeException>(
                    () => ctl.StartVelocity(Axis.X, float.NaN));
                ctl.SetPosition(Axis.A, 3f);
                sim.WaitForLine("$MPos=a3.000");
                Assert.AreEqual(new[] { "$MPos=a3.000" }, sim.Commands());
            }
        }

        [Test]
        public void ControllerRefusalsAndFailedHomingThrowFirmwareExceptions()
        {
            using (var sim = new Simulator("--homing-fails", "--homing-ms", "200"))
            using (var ctl = Controller.Connect(sim.Link))
            {
                var homing = Assert.Throws<KorvaneFirmwareException>(() => ctl.Home(Axis.Z));
                AssertError(homing, KorvaneResult.FirmwareError, "KORVANE_FIRMWARE_ERROR",
                            "Homing failed: alarm state: ALARM:6 (homing failed: the cycle was reset)",
                            "Korvane_Home");
                Assert.AreEqual(MachineState.Alarm, ctl.GetState());

                // In Alarm the controller refuses jogs with an error line of its own.
                var jog = Assert.Throws<KorvaneFirmwareException>(
                    () => ctl.JogRelative(Axis.X, 1f, 100f));
                StringAssert.StartsWith("Firmware error: error:", jog.LibraryMessage);
                Assert.AreEqual(jog.LibraryMessage, ctl.LastError);
            }
        }

        [Test]
        public void CallsRefusedInVelocityModeThrowVelocityActiveExceptions()
        {
            using (var sim = new Simulator())
            using (var ctl = Controller.Connect(sim.Link))
            using (ctl.StartVelocity(Axis.X, 100f))
            {
                var e = Assert.Throws<KorvaneVelocityActiveException>(() => ctl.HomeAll());
                AssertError(e, KorvaneResult.VelocityActive, "KORVANE_VELOCITY_ACTIVE",
                            "Velocity mode is active; stop it first", "Korvane_Home");
                Assert.Throws<KorvaneVelocityActiveException>(
                    () => ctl.SetAcceleration(Axis.Y, 10f));
            }
        }

        [Test]
        public void AVanishedControllerThrowsWriteExceptions()
        {
            using (var sim = new Simulator())
            using (var ctl = Controller.Connect(sim.Link))
            {
                sim.Stop();
                var e = Assert.Throws<KorvaneWriteException>(() => ctl.Resume());
                AssertError(e, KorvaneResult.WriteFailed, "KORVANE_WRITE_FAILED",
                            "Serial write failed", "Korvane_Resume");
            }
        }

        [Test]
        public void ADisposedControllerThrowsNotConnectedExceptionsFromEveryCall()
        {
            using (var sim = new Simulator())
            {
                var ctl = Controller.Connect(sim.Link);
                ctl.Dispose();
                ctl.Dispose();
                Assert.IsTrue(ctl.IsDisposed);
                var calls = new TestDelegate[]
                {
                    () => ctl.GetState(), () => ctl.GetPositions(), () => ctl.GetFeed(),
                    () => ctl.GetLimits(), () => ctl.GetDeviceUuid(),
                    () => ctl.JogAbsolute(Axis.X, 1f, 100f),
                    () => ctl.JogRelative(Axis.X, 1f, 100f),
                    () => ctl.SetPosition(Axis.X, 1f), () => ctl.SetAcceleration(Axis.X, 1f),
                    () => ctl.EnableSoftLimits(Axis.X, true),
                    () => ctl.SetSoftLimitRange(Axis.X, 1f, 0f), () => ctl.Home(Axis.X),
                    () => ctl.HomeAll(), () => ctl.FeedHold(), () => ctl.Resume(),
                    () => ctl.EmergencyStop(), () => ctl.StartVelocity(Axis.X, 10f),
                    () => ctl.StopVelocity(), () => { string unused = ctl.LastError; },
                };
                foreach (var call in calls)
                {
                    var e = Assert.Throws<KorvaneNotConnectedException>(call);
                    Assert.AreEqual(KorvaneResult.NotConnected, e.Code);
                    Assert.AreEqual("The connection is closed", e.LibraryMessage);
                }
                // Nothing reached the controller after the disconnect.
                using (var again = Controller.Connect(sim.Link))
                    again.SetPosition(Axis.A, 4f);
                sim.WaitForLine("$MPos=a4.000");
                Assert.AreEqual(new[] { "$MPos=a4.000" }, sim.Commands());
            }
        }
    }
}
