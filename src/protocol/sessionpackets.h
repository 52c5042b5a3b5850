#pragma once
// The packets of Ger10206.rdmSessao, as the server writes them and the host reads them.

#include "protocol/packetfield.h"

namespace fiscal::protocol::session {

inline constexpr char TOKEN[] = "TOKEN";                  // sent as "Authorization: Bearer TOKEN"
inline constexpr char NMUSUARIO[] = "NMUSUARIO";          // the login
inline constexpr char NMCOMPLETO[] = "NMCOMPLETO";
inline constexpr char DSPAPEL[] = "DSPAPEL";              // consulta, operador, administrador
inline constexpr char DTEXPIRA[] = "DTEXPIRA";            // UTC, ISO 8601; moves on while the session is used
inline constexpr char FLTROCARSENHA[] = "FLTROCARSENHA";  // S: the password must be changed before any work
inline constexpr char FLATIVO[] = "FLATIVO";              // S/N
inline constexpr char DTCRIACAO[] = "DTCRIACAO";
inline constexpr char DTULTENTRADA[] = "DTULTENTRADA";
inline constexpr char DTBLOQUEIO[] = "DTBLOQUEIO";        // refused until then after failed sign-ins
inline constexpr char DSSENHA[] = "DSSENHA";              // RedefineSenha, SetUsuario of a new user: shown once

// Entrar: one row.
inline constexpr PacketField kEntrada[] = {{TOKEN, 64},    {NMUSUARIO, 64}, {NMCOMPLETO, 80},
                                           {DSPAPEL, 15},  {DTEXPIRA, 24},  {FLTROCARSENHA, 1}};
// GetUsuarios: every user, by login.
inline constexpr PacketField kUsuarios[] = {{NMUSUARIO, 64},    {NMCOMPLETO, 80}, {DSPAPEL, 15},
                                            {FLATIVO, 1},       {DTCRIACAO, 24},  {DTULTENTRADA, 24},
                                            {DTBLOQUEIO, 24},   {FLTROCARSENHA, 1}};
// RedefineSenha, and SetUsuario when it creates the user: one row with the temporary password.
inline constexpr PacketField kSenhaTemporaria[] = {{NMUSUARIO, 64}, {DSSENHA, 40}};

// Passwords: at least this many characters, and not the login.
inline constexpr int kMinPasswordLength = 10;
inline constexpr int kMaxPasswordLength = 256;

} // namespace fiscal::protocol::session
