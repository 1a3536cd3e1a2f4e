using System;
using NUnit.Framework;

namespace Korvane.Tests
{
    /// <summary>Velocity mode through VelocityJog, whose Dispose must stop the machine.</summary>
    [TestFixture]
    public class VelocityTests
    {
        private Simulator sim;
        private Controller ctl;

        [SetUp]
        public void Open()
        {
            sim = new Simulator();
            ctl = Controller.Connect(sim.Link);
        }

        [TearDown]
        public void Close()
        {
            ctl.Dispose();
            sim.Dispose();
        }

        /// <summary>Waits for a line of velocity mode's worker, which follows the machine
        /// through the reports that queries bring in.</summary>
        private void WaitPolling(string line)
        {
            Wait.For(() => ctl.GetState() != MachineState.Unknown && sim.Received().Contains(line),
                     10, "the jog line " + line);
        }

        [Test]
        public void DisposingTheJogStopsTheMachine()
        {
            VelocityJog jog;
            using (jog = ctl.StartVelocity(Axis.Y, 600f))
            {
                Assert.AreEqual(Axis.Y, jog.Axis);
                Wait.For(() => ctl.GetState() == MachineState.Jog, 5, "velocity mode to jog");
            }
            Assert.IsTrue(jog.IsStopped);
            // The stop waited for the machine to rest: the very next report shows it.
            Assert.AreEqual(MachineState.Idle, ctl.GetState());
            sim.WaitForLine("0x85 (jog cancel)");
            float stoppedAt = ctl.GetPositions()[1];
            Assert.Greater(stoppedAt, 0f);
            System.Threading.Thread.Sleep(300);
            Assert.AreEqual(stoppedAt, ctl.GetPositions()[1]);
            ctl.JogRelative(Axis.X, 1f, 100f);  // no longer refused
            jog.Dispose();                      // a second stop does nothing
        }

        [Test]
        public void ChangingTheVelocityReissuesTheJogUntilStopped()
        {
            var jog = ctl.StartVelocity(Axis.X, 600f);
            // Each jog line carries twenty seconds of travel.
            WaitPolling("$J=G91 x200.000 F600");
            jog.ChangeVelocity(-300f);
            Assert.AreEqual(-300f, jog.Velocity);
            WaitPolling("$J=G91 x-100.000 F300");
            jog.Stop();
            Assert.Throws<ObjectDisposedException>(() => jog.ChangeVelocity(100f));
            Assert.AreEqual(MachineState.Idle, ctl.GetState());
        }

        [Test]
        public void AJogOfADisposedControllerStopsWithoutComplaint()
        {
            var jog = ctl.StartVelocity(Axis.X, 600f);
            Wait.For(() => ctl.GetState() == MachineState.Jog, 5, "velocity mode to jog");
            ctl.Dispose();  // the disconnect ends velocity mode
            sim.WaitForLine("0x85 (jog cancel)");
            jog.Dispose();
            Assert.IsTrue(jog.IsStopped);
        }
    }
}
