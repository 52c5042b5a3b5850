#pragma once
// The signed-in user in the host: the "Usuário" menu ("Trocar senha...", "Usuários..." for
// administradores, "Sair"), the user and role in the status bar, and the sign-in again over
// the current screen when a call finds the session ended.

class QMainWindow;

// Call once signed in (UserSession filled); nothing is shown for a server without sign-in.
void installSessionMenu(QMainWindow &window);
