using System;
using System.IO;
using System.Reflection;
using NUnit.Framework;

namespace Korvane.Tests
{
    /// <summary>Queries, motion, settings, homing and stops against the simulator.</summary>
    [TestFixture]
    public class ControllerTests
    {
        private Simulator sim;
        private Controller ctl;

        [SetUp]
        public void Open()
        {
            sim = new Simulator("--homing-ms", "300", "--uuid", "sim-uuid-0042");
            ctl = Controller.Connect(sim.Link);
        }

        [TearDown]
        public void Close()
        {
            if (ctl != null) ctl.Dispose();
            sim.Dispose();
        }

        [Test]
        public void EveryQueryAnswersFromAFreshReport()
        {
            Assert.AreEqual(MachineState.Idle, ctl.GetState());
            Assert.AreEqual(0f, ctl.GetFeed());
            int[] limits = ctl.GetLimits();
            Assert.AreEqual(4, limits.Length);
            Assert.AreEqual("sim-uuid-0042", ctl.GetDeviceUuid());

            ctl.SetPosition(Axis.Y, 12.5f);
            ctl.SetPosition(Axis.C, -3.25f);
            float[] positions = ctl.GetPositions();
            Assert.AreEqual(6, positions.Length);
            Assert.AreEqual(new[] { 0f, 12.5f, 0f, 0f, 0f, -3.25f }, positions);
            sim.WaitForLine("$MPos=y12.500");

            Assert.AreEqual(sim.Link, ctl.PortName);
            Assert.AreEqual(Controller.DefaultBaudRate, ctl.BaudRate);
            Assert.AreEqual("", ctl.LastError);
        }

        [Test]
        public void TheLibraryVersionIsTheProjectVersionTheBindingWasBuiltWith()
        {
            var built = (AssemblyInformationalVersionAttribute)Attribute.GetCustomAttribute(
                typeof(Controller).Assembly, typeof(AssemblyInformationalVersionAttribute));
            StringAssert.IsMatch(@"^\d+\.\d+\.\d+$", Controller.LibraryVersion);
            Assert.AreEqual(built.InformationalVersion, Controller.LibraryVersion);
        }

        [Test]
        public void JogsMoveTheMachineWithTheNumbersAsSent()
        {
            ctl.JogRelative(Axis.X, 5f, 600f);
            sim.WaitForLine("$J=G91 x5.000 F600");
            Wait.For(() => ctl.GetState() == MachineState.Idle, 10, "the relative jog to end");
            Assert.AreEqual(5f, ctl.GetPositions()[0]);

            // The feed goes as a whole number, truncated toward zero.
            ctl.JogAbsolute(Axis.Z, -2.5f, 1200.9f);
            sim.WaitForLine("$J=G90 z-2.500 F1200");
            Wait.For(() => ctl.GetState() == MachineState.Idle, 10, "the absolute jog to end");
            Assert.AreEqual(-2.5f, ctl.GetPositions()[2]);
        }

        [Test]
        public void SettingsReachTheControllerInOrder()
        {
            ctl.SetAcceleration(Axis.B, 250f);
            ctl.SetSoftLimitRange(Axis.X, 100f, -1f);
            ctl.EnableSoftLimits(Axis.X, true);
            ctl.EnableSoftLimits(Axis.A, false);
            sim.WaitForLine("$axes/a/soft_limits=false");
            // Axis letters and the order of the two numbers of a range, as the binding passed them.
            Assert.AreEqual(new[] { "$axes/b/acceleration_mm_per_sec2=250.000",
                                    "$axes/x/max_travel_mm=100.000",
                                    "$axes/x/homing/mpos_mm=-1.000", "$axes/x/soft_limits=true",
                                    "$axes/a/soft_limits=false" },
                            sim.Commands());
        }

        [Test]
        public void HomingReturnsOnceTheCycleIsOver()
        {
            ctl.Home(Axis.Z);
            Assert.AreEqual(MachineState.Idle, ctl.GetState());
            ctl.HomeAll();
            Assert.AreEqual(MachineState.Idle, ctl.GetState());
            sim.WaitForLine("$H");
            var homing = sim.Commands().FindAll(line => line.StartsWith("$H"));
            Assert.AreEqual(new[] { "$Hz", "$H" }, homing);
        }

        [Test]
        public void FeedHoldHoldsAJogAndEmergencyStopEndsIt()
        {
            ctl.JogRelative(Axis.X, 500f, 600f);
            Wait.For(() => ctl.GetState() == MachineState.Jog, 5, "the jog to run");
            ctl.FeedHold();
            // A controller ends a held jog; some ignore the hold, so the cancel goes first.
            sim.WaitForLine("0x85 (jog cancel)");
            sim.WaitForLine("! (feed hold)");
            Wait.For(() => ctl.GetState() == MachineState.Idle, 10, "the held jog to end");
            ctl.Resume();
            sim.WaitForLine("~ (resume)");

            ctl.JogRelative(Axis.Y, 500f, 600f);
            ctl.EmergencyStop();
            sim.WaitForLine("$ES");
            Assert.AreNotEqual(MachineState.Jog, ctl.GetState());
        }

        [Test]
        public void PortNamesReachTheLibraryInItsWideCharacters()
        {
            // Non-ASCII names, one of them outside the 16-bit plane: a name marshalled in the
            // wrong width or encoding names no file and fails to open.
            string name = Path.Combine(sim.Directory, "p\u00f6rt-\u00fc-\U0001D4B3");
            File.Delete(name);
            Assert.AreEqual(0, Mono.Unix.Native.Syscall.symlink(sim.Device, name));
            ctl.Dispose();
            using (var unicode = Controller.Connect(name))
                Assert.AreEqual(MachineState.Idle, unicode.GetState());
        }
    }
}
