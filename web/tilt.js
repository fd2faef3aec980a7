// Tilt to turn, for phones and tablets: once switched on, tilting the device
// more than TILT_MARGIN degrees away from the pose it had at switch-on holds
// the arrow of that direction, and coming back within the margin releases
// it. The program sees nothing but held arrows, so the box turns at the keys'
// rate. Tilting an edge of the screen down holds the arrow that points to
// that edge, in portrait and landscape alike.
'use strict';

const TILT_MARGIN = 8;  // degrees
// Without a reading within this time after switch-on, the device has no sensor.
const TILT_SILENCE_MS = 3000;

// The browser reports the device's pose in its own axes, whatever way the
// screen is turned: beta about its short axis (positive as the top edge
// rises), gamma about its long axis (positive as the right edge sinks).
function screenAngle() {
  const angle = screen.orientation ? screen.orientation.angle : window.orientation || 0;
  return ((angle % 360) + 360) % 360;
}

function degreesBetween(from, to) {
  return ((to - from + 540) % 360) - 180;
}

// How far the screen's right and top edges have sunk since the pose `rest`,
// in degrees, as the person holding the device sees the screen.
function screenTilt(rest, event) {
  const rightDown = degreesBetween(rest.gamma, event.gamma);
  const topDown = -degreesBetween(rest.beta, event.beta);
  // Turning the device a quarter counter-clockwise (angle 90) puts its
  // right edge at the top of the screen and its top edge at the left.
  const a = (screenAngle() * Math.PI) / 180;
  return {
    right: rightDown * Math.cos(a) - topDown * Math.sin(a),
    up: rightDown * Math.sin(a) + topDown * Math.cos(a),
  };
}

// Makes `button` the tilt switch. hold(code, down) holds or releases an
// arrow (GLUT's codes: 100 left, 101 up, 102 right, 103 down).
function setUpTilt(button, hold) {
  let on = false;
  let rest = null;
  let silence = null;
  const held = new Map();

  function show(text, pressed) {
    button.textContent = text;
    button.setAttribute('aria-pressed', String(pressed));
  }

  function setHeld(code, down) {
    if ((held.get(code) || false) === down) return;
    held.set(code, down);
    hold(code, down);
  }

  function releaseAll() {
    [100, 101, 102, 103].forEach((code) => setHeld(code, false));
  }

  function onOrientation(event) {
    if (event.beta === null || event.gamma === null) return;
    clearTimeout(silence);
    if (!rest) {
      rest = { beta: event.beta, gamma: event.gamma };
      return;
    }
    const tilt = screenTilt(rest, event);
    setHeld(102, tilt.right > TILT_MARGIN);
    setHeld(100, tilt.right < -TILT_MARGIN);
    setHeld(101, tilt.up > TILT_MARGIN);
    setHeld(103, tilt.up < -TILT_MARGIN);
  }

  function switchOff(text) {
    on = false;
    window.removeEventListener('deviceorientation', onOrientation);
    clearTimeout(silence);
    releaseAll();
    show(text, false);
  }

  function switchOn() {
    on = true;
    rest = null;
    show('Tilt: on', true);
    window.addEventListener('deviceorientation', onOrientation);
    silence = setTimeout(() => switchOff('No tilt: no sensor'), TILT_SILENCE_MS);
  }

  button.addEventListener('click', () => {
    if (on) {
      switchOff('Tilt: off');
    } else if (typeof DeviceOrientationEvent === 'undefined') {
      show('No tilt in this browser', false);
    } else if (typeof DeviceOrientationEvent.requestPermission === 'function') {
      // Safari asks the person first, and only from a tap.
      DeviceOrientationEvent.requestPermission().then(
        (answer) => (answer === 'granted' ? switchOn() : show('No tilt: not allowed', false)),
        () => show('No tilt: not allowed', false));
    } else {
      switchOn();
    }
  });
  return { switchOff: () => { if (on) switchOff('Tilt: off'); } };
}
